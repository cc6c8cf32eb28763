#pragma once

// The scanner's run-wide state: created once by the run driver, alive until the process ends.

#include <cstddef>
#include <cstdint>

#include "scanner/entry_list.h"

inline constexpr std::size_t kReadBufferSize = 65536;  // the largest piece of a file read at once

extern EntryList PathList;       // every entry of the run, ascending PathCRC
extern BucketIndex PathIndex;
extern EntryList ContentList;    // entries whose content was hashed, ascending CRC32
extern BucketIndex ContentIndex;
// The last node of the run of CRC32 0 at the head of ContentList, or null when unknown. Such
// content never matches, so a new entry of it only needs its place after that run; the shortcut
// spares walking the whole run again for every empty file. A node leaving the run hands the
// shortcut to the node before it.
extern EntryNode* ContentZeroTail;

extern bool Quiet;           // no per-file messages, except for known files found gone
extern bool DeleteNewDupes;  // new duplicates are deleted

extern std::uint64_t TotalBytes;  // content bytes hashed in this run
extern std::uint64_t DupeCount;   // duplicates found or purged in this run

// Both lists empty, every slot of both indexes null.
void CreateRunState();
