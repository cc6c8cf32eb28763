#include "tests/support/temp_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

// rm copes with trees deeper than one path may be long, which some tests build.
void RemoveTree(const std::string& path) {
  const pid_t pid = fork();
  if (pid == 0) {
    execlp("rm", "rm", "-rf", "--", path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
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
    (void)chmod(path_.c_str(), 0700);  // a test may have taken permissions away
    RemoveTree(path_);
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

std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  DIR* stream = opendir(dir.c_str());
  while (const dirent* e = stream != nullptr ? readdir(stream) : nullptr) {
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") {
      names.emplace_back(e->d_name);
    }
  }
  if (stream != nullptr) {
    closedir(stream);
  }
  std::sort(names.begin(), names.end());
  return names;
}
