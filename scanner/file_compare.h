#pragma once

#include <sys/stat.h>

#include <cstddef>

#include "store/handles.h"

// Opens a file for reading without blocking, and only if it is a regular file: a FIFO or device
// that took a file's place cannot hang the run. `status` is the opened file's own.
Fd OpenRegular(const char* path, struct stat& status);

// Reads exactly `length` bytes unless the file ends or fails first.
bool ReadFully(int fd, std::byte* into, std::size_t length);

// True when both files hold the same bytes, read afresh: the last check before a deletion, so
// that neither a checksum collision nor a change since hashing can cost the only copy.
bool SameBytes(const char* keptPath, const char* otherPath);

// The two statuses are of one file reached by two paths (a symbolic link, a second mount): not a
// second copy, whatever the checksums say. Hard links are separate names and stay copies.
bool SameFile(const struct stat& a, const struct stat& b);
