#include "scanner/file_compare.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t kCompareBufferSize = 65536;

int OpenDirectory(const char* path) {
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#ifdef O_PATH
  if (fd < 0 && errno == EACCES) {
    fd = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);  // searchable but not readable: enough for *at
  }
#endif
  return fd;
}

// The name's own status and the file it leads to, opened where it may be read so that a later
// comparison reads the very file whose status was taken. A name that is no symbolic link must be
// that file itself, or it changed between the two looks. Held only for telling, a name that is no
// symbolic link is its own file: one look is enough.
bool LookAtName(HeldName& held, HoldFor purpose) {
  const int directory = held.directory.Get();
  const char* name = held.name.c_str();
  if (fstat(directory, &held.directoryStatus) != 0 ||
      fstatat(directory, name, &held.nameStatus, AT_SYMLINK_NOFOLLOW) != 0) {
    return false;
  }
  if (purpose == HoldFor::kTelling) {
    if (!S_ISLNK(held.nameStatus.st_mode)) {
      held.fileStatus = held.nameStatus;
      return true;
    }
    return fstatat(directory, name, &held.fileStatus, 0) == 0;
  }
  held.file = OpenRegular(directory, name, held.fileStatus);
  if (!held.file.Valid() && fstatat(directory, name, &held.fileStatus, 0) != 0) {
    return false;
  }
  return S_ISLNK(held.nameStatus.st_mode) || SameInode(held.nameStatus, held.fileStatus);
}

}  // namespace

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

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

bool HoldPath(const char* path, HeldName& held, HoldFor purpose) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr || slash[1] == '\0') {
    return false;  // recorded paths are absolute and end in a name
  }
  held.directory.Reset(OpenDirectory(DirectoryOf(path).c_str()));
  held.name = slash + 1;
  return held.directory.Valid() && LookAtName(held, purpose);
}

bool HoldName(int directory, const char* name, HeldName& held, HoldFor purpose) {
  held.directory.Reset(fcntl(directory, F_DUPFD_CLOEXEC, 0));
  held.name = name;
  return held.directory.Valid() && LookAtName(held, purpose);
}

bool SameFile(const HeldName& a, const HeldName& b) {
  const bool sameEntry = SameInode(a.directoryStatus, b.directoryStatus) && a.name == b.name;
  const bool onlyName =
      SameInode(a.fileStatus, b.fileStatus) && (a.fileStatus.st_nlink == 1 || b.fileStatus.st_nlink == 1);
  return sameEntry || onlyName;
}

bool SameBytes(const HeldName& kept, const HeldName& other) {
  if (!kept.file.Valid() || !other.file.Valid()) {
    return false;
  }
  static std::byte keptBytes[kCompareBufferSize];
  static std::byte otherBytes[kCompareBufferSize];
  for (auto left = static_cast<std::uint64_t>(kept.fileStatus.st_size); left != 0;) {
    const std::size_t piece = left < kCompareBufferSize ? static_cast<std::size_t>(left) : kCompareBufferSize;
    if (!ReadFully(kept.file.Get(), keptBytes, piece) || !ReadFully(other.file.Get(), otherBytes, piece) ||
        std::memcmp(keptBytes, otherBytes, piece) != 0) {
      return false;
    }
    left -= piece;
  }
  // Both must end here: a file that holds more (it grew, or was longer all along) is no copy.
  std::byte probe[1];
  return read(kept.file.Get(), probe, 1) == 0 && read(other.file.Get(), probe, 1) == 0;
}
