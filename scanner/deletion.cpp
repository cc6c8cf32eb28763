#include "scanner/deletion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void (*BeforeDeletion)() = nullptr;

namespace {

// The directory that `path` leads to now is the held one.
bool PathLeadsToHeldDirectory(const char* path, const HeldName& held) {
  struct stat now {};
  return stat(DirectoryOf(path).c_str(), &now) == 0 && SameInode(now, held.directoryStatus);
}

}  // namespace

Confirmation ConfirmDuplicate(const HeldName& kept, const HeldName& duplicate) {
  if (SameFile(kept, duplicate)) {
    return Confirmation::kSameFile;
  }
  return SameBytes(kept, duplicate) ? Confirmation::kConfirmed : Confirmation::kDiffers;
}

Deletion DeleteConfirmed(const HeldName& duplicate, const char* path) {
  if (BeforeDeletion != nullptr) {
    BeforeDeletion();
  }
  struct stat now {};
  if (!PathLeadsToHeldDirectory(path, duplicate) ||
      fstatat(duplicate.directory.Get(), duplicate.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
      !SameInode(now, duplicate.nameStatus)) {
    return Deletion::kChanged;
  }
  return unlinkat(duplicate.directory.Get(), duplicate.name.c_str(), 0) == 0 ? Deletion::kDeleted : Deletion::kFailed;
}
