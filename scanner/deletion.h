#pragma once

// The one way a duplicate is deleted, for new duplicates of a scan and for recorded ones of a
// purge: confirmed against the kept copy as it is right then, and removed through the directory
// that was looked at, only if its name still leads where it led when confirmed.

#include "scanner/file_compare.h"

enum class Confirmation {
  kConfirmed,  // another file than the kept one, with the same bytes: it may go
  kSameFile,   // the kept file itself, reached by another path: never a copy of itself
  kDiffers,    // the bytes differ, or either could not be read as it was held
};
Confirmation ConfirmDuplicate(const HeldName& kept, const HeldName& duplicate);

enum class Deletion {
  kDeleted,
  kChanged,  // the name, or the directory its path leads to, changed since it was held: kept
  kFailed,   // the system refused (no permission, read-only): kept
};
// Removes a confirmed duplicate by its name in its held directory. `path`, its recorded absolute
// path, must still lead to that directory, and the name must still be the file or symbolic link
// that was held; otherwise nothing is removed.
Deletion DeleteConfirmed(const HeldName& duplicate, const char* path);

// Runs between a confirmation and its deletion when set; tests use it to change the tree there.
extern void (*BeforeDeletion)();
