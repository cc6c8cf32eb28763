#pragma once

#include <cstddef>
#include <cstdio>
#include <span>

// The dump of a database image: a header line, one row per record in PathTable order, then
// "\n<PathCount> entries - <dupes> dupe(s)\n", where a dupe is a ContentTable neighbour pair with
// equal CRC32 and MD5. The image is checked whole (CheckReadable) before anything is printed: an
// image that is no readable database prints the zero summary alone, never part of a table.
void PrintDatabase(std::span<const std::byte> image, std::FILE* out);

// Reads the named file whole and prints it as above. A file that is missing, empty, unreadable or
// too large to hold prints the zero summary. The file is closed before anything is printed.
void DumpDatabaseFile(const char* name, std::FILE* out);
