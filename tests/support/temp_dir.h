#pragma once

#include <string>
#include <vector>

// A fresh directory under /tmp, removed with everything in it when the object goes.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Small tree builders; parent directories are created as needed. Failures fail the test.
void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
void MakeDirs(const std::string& path);
bool Exists(const std::string& path);  // lstat succeeds
// The names in a directory, without "." and "..", sorted.
std::vector<std::string> Listing(const std::string& dir);
