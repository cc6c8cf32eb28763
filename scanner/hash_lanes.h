#pragma once

// The middle stage of a scan. The walk queues each new or modified file, opened at once with a
// read-ahead hint; the lanes hash queued files side by side, each in its own lane of the checksum
// kernel, taking the next queued file as they come free; and every file's outcome is committed to
// the content step strictly in the order the walk queued them. So what a run prints, counts,
// links, deletes and saves is exactly what one file at a time would give, for a tree that does not
// change while it runs. The walk runs ahead of the commits by a bounded window of files, bytes
// and descriptors.

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

#include "scanner/content.h"
#include "store/entry.h"

// A directory the walk has open, shared by the queued files that live in it: the walk holds it
// while it reads the directory, each queued file until its commit. A commit reaches its file
// (to compare it before a deletion, to delete it) through this descriptor and the file's own name,
// wherever the walk stands by then.
struct DirectoryHold;

// Takes over `directory` (an open descriptor); the walk's own hold.
DirectoryHold* HoldDirectory(int directory);
int DescriptorOf(const DirectoryHold* hold);
// Gives one hold back; the descriptor is closed with the last.
void ReleaseDirectory(DirectoryHold* hold);

// Allocates the lanes' buffers; false when there is no memory for them.
bool StartHashLanes();

// Queues a file of `directory`, named `bareName` there, whose entry the walk has reconciled:
// `size` is the walk's st_size, the number of bytes hashed. May hash and commit earlier files
// first, to keep the window bounded.
void QueueFile(Entry entry, Reconciled outcome, DirectoryHold* directory, const char* bareName, std::uint64_t size);

// Hashes and commits everything still queued.
void FinishHashLanes();

// For tests: at most `lanes` files hashed side by side (0: as many as the machine does best).
void LimitHashLanes(std::size_t lanes);
