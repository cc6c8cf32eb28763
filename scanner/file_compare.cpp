#include "scanner/file_compare.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t kCompareBufferSize = 65536;

}  // namespace

Fd OpenRegular(const char* path, struct stat& status) {
  Fd fd(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.Valid() && (fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode))) {
    fd.Reset(-1);
  }
  return fd;
}

bool ReadFully(int fd, std::byte* into, std::size_t length) {
  std::size_t got = 0;
  while (got < length) {
    const ssize_t n = read(fd, into + got, length - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      return false;
    }
  }
  return true;
}

bool SameBytes(const char* keptPath, const char* otherPath) {
  struct stat keptStatus {};
  struct stat otherStatus {};
  const Fd kept = OpenRegular(keptPath, keptStatus);
  const Fd other = OpenRegular(otherPath, otherStatus);
  if (!kept.Valid() || !other.Valid() || keptStatus.st_size != otherStatus.st_size) {
    return false;
  }
  static std::byte keptBytes[kCompareBufferSize];
  static std::byte otherBytes[kCompareBufferSize];
  for (auto left = static_cast<std::uint64_t>(keptStatus.st_size); left != 0;) {
    const std::size_t piece = left < kCompareBufferSize ? static_cast<std::size_t>(left) : kCompareBufferSize;
    if (!ReadFully(kept.Get(), keptBytes, piece) || !ReadFully(other.Get(), otherBytes, piece) ||
        std::memcmp(keptBytes, otherBytes, piece) != 0) {
      return false;
    }
    left -= piece;
  }
  // Neither may hold more than its size said, or the comparison saw only part of it.
  std::byte probe[1];
  return read(kept.Get(), probe, 1) == 0 && read(other.Get(), probe, 1) == 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_nlink == 1;
}
