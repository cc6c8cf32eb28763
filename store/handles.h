#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

struct CloseFile {
  void operator()(std::FILE* f) const { (void)std::fclose(f); }  // read-only uses; writers close by hand
};
using FileHandle = std::unique_ptr<std::FILE, CloseFile>;

struct CloseDir {
  void operator()(DIR* d) const { (void)closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, CloseDir>;

// An owned file descriptor; -1 holds nothing.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset(other.Release());
    }
    return *this;
  }
  ~Fd() { Reset(-1); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd) {
    if (fd_ >= 0) {
      (void)close(fd_);  // nothing was written through a descriptor closed this way
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};
