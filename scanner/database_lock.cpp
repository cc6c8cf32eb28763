#include "scanner/database_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "scanner/file_compare.h"
#include "store/handles.h"

namespace {

struct HeldLock {
  Fd fd;               // open until exit: closing it would release the lock
  std::string target;  // the database file the lock stands for
  dev_t device;
  ino_t inode;         // of the lock file, to tell a second name for the same database
};
std::vector<HeldLock>& HeldLocks() {
  static std::vector<HeldLock> held;
  return held;
}

// Opens the lock file, creating it when it is missing. One that exists but may not be written is
// opened for reading: flock needs no more. A symbolic link in its place is not followed, so that a
// planted link cannot make the run create or lock some other file.
Fd OpenLockFile(const std::string& lockName) {
  constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  Fd fd(open(lockName.c_str(), O_RDWR | O_CREAT | kFlags, 0666));
  if (!fd.Valid() && (errno == EACCES || errno == EROFS)) {
    fd.Reset(open(lockName.c_str(), O_RDONLY | kFlags));
  }
  return fd;
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsMkstempLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// "<base>.tmp" followed by exactly six letters or digits.
bool IsTemporaryName(const char* name, const std::string& base) {
  constexpr std::size_t kSuffixLength = sizeof kTemporarySuffix - 1;
  constexpr std::size_t kFixedLength = kSuffixLength - 6;  // ".tmp"
  if (std::strlen(name) != base.size() + kSuffixLength || base.compare(0, base.size(), name, base.size()) != 0 ||
      std::memcmp(name + base.size(), kTemporarySuffix, kFixedLength) != 0) {
    return false;
  }
  for (const char* c = name + base.size() + kFixedLength; *c != '\0'; ++c) {
    if (!IsMkstempLetter(*c)) {
      return false;
    }
  }
  return true;
}

void RemoveTemporariesOf(const std::string& target) {
  const DirHandle directory(opendir(DirectoryOf(target).c_str()));
  if (directory == nullptr) {
    return;
  }
  const int dirFd = dirfd(directory.get());
  const std::string base = BaseName(target);
  while (const dirent* e = readdir(directory.get())) {
    if (!IsTemporaryName(e->d_name, base)) {
      continue;
    }
    struct stat status {};
    if (fstatat(dirFd, e->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode)) {
      continue;
    }
    // A database that happens to be named like a temporary has a lock file of its own.
    const std::string itsLock = std::string(e->d_name) + ".lock";
    if (fstatat(dirFd, itsLock.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
      continue;
    }
    (void)unlinkat(dirFd, e->d_name, 0);  // best effort: a leftover that stays harms nothing
  }
}

}  // namespace

std::string DatabaseTarget(const char* name) {
  struct stat status {};
  if (lstat(name, &status) == 0 && S_ISLNK(status.st_mode)) {
    char resolved[PATH_MAX];
    if (realpath(name, resolved) != nullptr) {
      return resolved;
    }
  }
  return name;
}

LockResult LockDatabase(const char* name) {
  std::string target = DatabaseTarget(name);
  Fd fd = OpenLockFile(target + ".lock");
  struct stat status {};
  if (!fd.Valid() || fstat(fd.Get(), &status) != 0) {
    return LockResult::kWithoutLock;
  }
  // flock conflicts between two open files even in one process, so a second name for a database
  // already locked must not be locked again.
  for (const HeldLock& held : HeldLocks()) {
    if (held.device == status.st_dev && held.inode == status.st_ino) {
      return LockResult::kLocked;
    }
  }
  if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    return errno == EWOULDBLOCK ? LockResult::kInUse : LockResult::kWithoutLock;
  }
  HeldLocks().push_back(HeldLock{std::move(fd), std::move(target), status.st_dev, status.st_ino});
  return LockResult::kLocked;
}

void RemoveLeftoverTemporaries() {
  for (const HeldLock& held : HeldLocks()) {
    RemoveTemporariesOf(held.target);
  }
}
