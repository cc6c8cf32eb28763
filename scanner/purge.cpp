#include "scanner/purge.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "scanner/file_compare.h"
#include "scanner/run_state.h"

namespace {

bool FileExists(Entry e, struct stat& status) { return stat(FileNameOf(e), &status) == 0; }

// The entry of a group that a deletion is confirmed against: the latest one not deleted whose file
// still exists. Unknown (null) until some entry of the group qualifies.
struct KeptCopy {
  Entry entry{};
  struct stat status {};
};

// Whether E may go: there is a kept copy, E's file holds the very same bytes, and it is another
// file, not the kept one reached by a second path.
bool Confirmed(const KeptCopy& kept, Entry e, const struct stat& status) {
  return kept.entry.Bytes != nullptr && !SameFile(kept.status, status) && SameBytes(FileNameOf(kept.entry), FileNameOf(e));
}

}  // namespace

void PurgeRecordedDupes() {
  if (PathList.count == 0 || ContentList.count == 0) {
    std::puts("ERROR: No Files in Database");  // printed even when quiet
    return;
  }
  KeptCopy kept;
  bool keptLooked = false;  // whether the group's first entry was tried as the kept copy
  for (EntryNode* node = ContentList.first->next; node != nullptr; node = node->next) {
    const Entry e = node->entry;
    const Entry p = node->prev->entry;
    if (Get(e, Field::CRC32) == 0 || !SameContentKey(e, p)) {
      keptLooked = false;  // E may start a group of its own
      kept = KeptCopy{};
      continue;
    }
    if (!keptLooked) {
      keptLooked = true;
      if (FileExists(p, kept.status)) {
        kept.entry = p;
      }
    }
    struct stat status {};
    if (!FileExists(e, status)) {
      // Nothing to lose: the deletion fails as it would have, and the entry stays recorded.
      if (!Quiet) {
        std::printf("'%s' IS a DUPE with '%s' - UNABLE TO DELETE\n", FileNameOf(e), FileNameOf(p));
      }
      ++DupeCount;
      continue;
    }
    if (!Confirmed(kept, e, status)) {
      kept = KeptCopy{e, status};  // neither deleted nor counted; it is a copy to keep now
      continue;
    }
    if (unlink(FileNameOf(e)) == 0) {
      if (!Quiet) {
        std::printf("'%s' IS a DUPE with '%s' - DELETED\n", FileNameOf(e), FileNameOf(p));
      }
      Set(e, Field::NameLength, 0);
    } else {
      if (!Quiet) {
        std::printf("'%s' IS a DUPE with '%s' - UNABLE TO DELETE\n", FileNameOf(e), FileNameOf(p));
      }
      kept = KeptCopy{e, status};  // still there, and equal: the latest copy kept
    }
    ++DupeCount;
  }
}
