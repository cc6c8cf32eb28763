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
// The last ContentList node linked with CRC32 0, or null. Such content never matches, so a new
// entry of it only needs its place after the run of zero keys at the head of the list: this node
// ends that run, and every node before it has key 0 until a refresh changes one (which clears it).
// It spares walking the whole run again for every empty file.
extern EntryNode* ContentZeroTail;
extern std::byte* ReadBuffer;    // kReadBufferSize bytes, scan mode only

extern bool Quiet;           // no per-file messages, except for known files found gone
extern bool DeleteNewDupes;  // new duplicates are deleted

extern std::uint64_t TotalBytes;  // content bytes hashed in this run
extern std::uint64_t DupeCount;   // duplicates found or purged in this run

// Both lists empty, every slot of both indexes null.
void CreateRunState();
