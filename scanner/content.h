#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>

#include "store/entry.h"

enum class Reconciled {
  kNew,       // a path the database did not know: hashed, then looked up for a duplicate
  kModified,  // a known path whose status changed: rehashed in place, no duplicate search
};

// The content step for one file, named by its bare name in the open directory `directory` (or
// AT_FDCWD). `status` is the walk's stat of it; its size decides how many bytes are hashed.
void HashAndMatch(Entry entry, Reconciled outcome, int directory, const char* bareName, const struct stat& status);

struct ContentChecksums {
  std::uint32_t crc = 0;  // 0 for empty content and for a read that failed part-way
  std::uint8_t digest[16] = {};
};
// Reads the first `size` bytes of a regular file into both checksums, through ReadBuffer, and adds
// `size` to TotalBytes. nullopt when the file cannot be opened or is no regular file (nothing is
// counted then). A piece that cannot be read in full gives CRC 0 and the MD5 of empty input.
std::optional<ContentChecksums> HashFile(int directory, const char* bareName, std::uint64_t size);

// Adds a freshly hashed new entry to ContentList unless it turns out to be a duplicate of a known
// file that still exists; deletes it then when DeleteNewDupes is set and the deletion is confirmed.
void MatchContent(Entry entry, int directory, const char* bareName);
