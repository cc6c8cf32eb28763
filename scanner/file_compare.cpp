#include "scanner/file_compare.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t kCompareBufferSize = 65536;

bool SameInode(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

int OpenDirectory(const char* path) {
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#ifdef O_PATH
  if (fd < 0 && errno == EACCES) {
    fd = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);  // searchable but not readable: enough for *at
  }
#endif
  return fd;
}

// The name's own status and the status of what it leads to. A name that is no symbolic link must
// be the very file it leads to, or it changed between the two looks.
bool LookAtName(HeldName& held) {
  if (fstat(held.directory.Get(), &held.directoryStatus) != 0 ||
      fstatat(held.directory.Get(), held.name.c_str(), &held.nameStatus, AT_SYMLINK_NOFOLLOW) != 0 ||
      fstatat(held.directory.Get(), held.name.c_str(), &held.fileStatus, 0) != 0) {
    return false;
  }
  return S_ISLNK(held.nameStatus.st_mode) || SameInode(held.nameStatus, held.fileStatus);
}

// Opens what a held name leads to, provided it is still the file that was held.
Fd OpenHeld(const HeldName& held, struct stat& status) {
  Fd fd = OpenRegular(held.directory.Get(), held.name.c_str(), status);
  if (fd.Valid() && !SameInode(status, held.fileStatus)) {
    fd.Reset(-1);
  }
  return fd;
}

}  // namespace

Fd OpenRegular(int directory, const char* name, struct stat& status) {
  Fd fd(openat(directory, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
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

bool HoldPath(const char* path, HeldName& held) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr || slash[1] == '\0') {
    return false;  // recorded paths are absolute and end in a name
  }
  const std::string parent = slash == path ? std::string("/") : std::string(path, slash);
  held.directory.Reset(OpenDirectory(parent.c_str()));
  held.name = slash + 1;
  return held.directory.Valid() && LookAtName(held);
}

bool HoldName(int directory, const char* name, HeldName& held) {
  held.directory.Reset(fcntl(directory, F_DUPFD_CLOEXEC, 0));
  held.name = name;
  return held.directory.Valid() && LookAtName(held);
}

bool SameFile(const HeldName& a, const HeldName& b) {
  const bool sameEntry = SameInode(a.directoryStatus, b.directoryStatus) && a.name == b.name;
  const bool onlyName =
      SameInode(a.fileStatus, b.fileStatus) && (a.fileStatus.st_nlink == 1 || b.fileStatus.st_nlink == 1);
  return sameEntry || onlyName;
}

bool SameBytes(const HeldName& kept, const HeldName& other) {
  struct stat keptStatus {};
  struct stat otherStatus {};
  const Fd keptFd = OpenHeld(kept, keptStatus);
  const Fd otherFd = OpenHeld(other, otherStatus);
  if (!keptFd.Valid() || !otherFd.Valid()) {
    return false;
  }
  static std::byte keptBytes[kCompareBufferSize];
  static std::byte otherBytes[kCompareBufferSize];
  for (auto left = static_cast<std::uint64_t>(keptStatus.st_size); left != 0;) {
    const std::size_t piece = left < kCompareBufferSize ? static_cast<std::size_t>(left) : kCompareBufferSize;
    if (!ReadFully(keptFd.Get(), keptBytes, piece) || !ReadFully(otherFd.Get(), otherBytes, piece) ||
        std::memcmp(keptBytes, otherBytes, piece) != 0) {
      return false;
    }
    left -= piece;
  }
  // Both must end here: a file that holds more (it grew, or was longer all along) is no copy.
  std::byte probe[1];
  return read(keptFd.Get(), probe, 1) == 0 && read(otherFd.Get(), probe, 1) == 0;
}
