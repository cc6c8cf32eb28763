#pragma once

// The scanner's run-wide state: created once by the run driver, alive until the process ends.

#include <cstddef>
#include <cstdint>

#include "scanner/entry_list.h"

inline constexpr std::size_t kReadBufferSize = 65536;

extern EntryList PathList;       // every entry of the run, ascending PathCRC
extern BucketIndex PathIndex;
extern EntryList ContentList;    // entries whose content was hashed, ascending CRC32
extern BucketIndex ContentIndex;
extern std::byte* ReadBuffer;    // kReadBufferSize bytes, scan mode only

extern bool Quiet;           // no per-file messages, except for known files found gone
extern bool DeleteNewDupes;  // new duplicates are deleted

extern std::uint64_t TotalBytes;  // content bytes hashed in this run
extern std::uint64_t DupeCount;   // duplicates found or purged in this run

// Both lists empty, every slot of both indexes null.
void CreateRunState();
