#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

int RemoveOne(const char* path, const struct stat*, int, struct FTW*) {
  (void)chmod(path, 0700);  // a test may have taken permissions away
  return remove(path);
}

}  // namespace

ScopedTempDir::ScopedTempDir() {
  char pattern[] = "/tmp/krelby-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
    return;
  }
  char real[4096];
  path_ = realpath(made, real) != nullptr ? real : made;
}

ScopedTempDir::~ScopedTempDir() {
  if (!path_.empty()) {
    (void)nftw(path_.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
  }
}

void MakeDirs(const std::string& path) {
  for (std::size_t at = 1; at <= path.size(); ++at) {
    if (at == path.size() || path[at] == '/') {
      const std::string prefix = path.substr(0, at);
      if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
        ADD_FAILURE() << "mkdir " << prefix;
        return;
      }
    }
  }
}

void WriteFile(const std::string& path, const std::string& content) {
  const std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    MakeDirs(path.substr(0, slash));
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) {
    ADD_FAILURE() << "cannot write " << path;
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool Exists(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}
