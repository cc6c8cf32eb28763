#include "scanner/purge.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "scanner/deletion.h"
#include "scanner/run_state.h"

namespace {

// Whether E may go beside the kept copy: both as they are right now, another file with the very
// same bytes. `held` then holds E's name for the deletion.
bool Confirmed(Entry kept, Entry e, HeldName& held) {
  HeldName keptName;
  return kept.Bytes != nullptr && HoldPath(FileNameOf(kept), keptName) && HoldPath(FileNameOf(e), held) &&
         ConfirmDuplicate(keptName, held) == Confirmation::kConfirmed;
}

}  // namespace

void PurgeRecordedDupes() {
  if (PathList.count == 0 || ContentList.count == 0) {
    std::puts("ERROR: No Files in Database");  // printed even when quiet
    return;
  }
  // The entry of a group that deletions are confirmed against: the latest one not deleted whose
  // file exists. Only its path is kept; its status is taken afresh for every decision, since each
  // deletion may change it (a link count that drops to one).
  Entry kept{};
  bool keptLooked = false;  // whether the group's first entry was tried as the kept copy
  for (EntryNode* node = ContentList.first->next; node != nullptr; node = node->next) {
    const Entry e = node->entry;
    const Entry p = node->prev->entry;
    if (Get(e, Field::CRC32) == 0 || !SameContentKey(e, p)) {
      keptLooked = false;  // E may start a group of its own
      kept = Entry{};
      continue;
    }
    struct stat status {};
    if (!keptLooked) {
      keptLooked = true;
      kept = stat(FileNameOf(p), &status) == 0 ? p : Entry{};
    }
    if (stat(FileNameOf(e), &status) != 0) {
      // Nothing to lose: the deletion fails as it would have, and the entry stays recorded.
      if (!Quiet) {
        std::printf("'%s' IS a DUPE with '%s' - UNABLE TO DELETE\n", FileNameOf(e), FileNameOf(p));
      }
      ++DupeCount;
      continue;
    }
    HeldName held;
    if (!Confirmed(kept, e, held)) {
      kept = e;  // neither deleted nor counted; it is a copy to keep now
      continue;
    }
    switch (DeleteConfirmed(held, FileNameOf(e))) {
      case Deletion::kDeleted:
        if (!Quiet) {
          std::printf("'%s' IS a DUPE with '%s' - DELETED\n", FileNameOf(e), FileNameOf(p));
        }
        Set(e, Field::NameLength, 0);
        break;
      case Deletion::kChanged:
        continue;  // no longer what was compared: kept, not counted
      case Deletion::kFailed:
        if (!Quiet) {
          std::printf("'%s' IS a DUPE with '%s' - UNABLE TO DELETE\n", FileNameOf(e), FileNameOf(p));
        }
        kept = e;  // still there, and equal: the latest copy kept
        break;
    }
    ++DupeCount;
  }
}
