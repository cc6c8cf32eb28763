#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>

#include "store/entry.h"

enum class Reconciled {
  kNew,       // a path the database did not know: hashed, then looked up for a duplicate
  kModified,  // a known path whose status changed: rehashed, no duplicate search
};

struct ContentChecksums {
  std::uint32_t crc = 0;  // 0 for empty content and for a read that failed part-way
  std::uint8_t digest[16] = {};
};

// The content step's commit for one file, in walk order. `sums` are its content's checksums, or
// nullopt when it could not be opened. A new entry takes them and is matched against ContentList;
// a modified one is reported and moves to its new content's place, or, unreadable, keeps no
// checksums. `directory` and `bareName` reach the file for a deletion.
void CommitContent(Entry entry, Reconciled outcome, const std::optional<ContentChecksums>& sums, int directory,
                   const char* bareName);

// Adds a freshly hashed new entry to ContentList unless it turns out to be a duplicate of a known
// file that still exists; deletes it then when DeleteNewDupes is set and the deletion is confirmed.
void MatchContent(Entry entry, int directory, const char* bareName);
