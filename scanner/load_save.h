#pragma once

#include <cstddef>

// What loading the database file found.
enum class LoadResult {
  kLoaded,    // both lists and indexes hold the database's entries
  kNone,      // no database yet (no such file, or an empty one): the run starts empty
  kInvalid,   // a file that exists but cannot be read, or is no database, or is damaged
};

// Fills both lists and indexes from the database file. The image stays in memory for the rest
// of the process and its records are used in place. A content order that is not ascending is
// taken back sorted, equal keys in their stored order. On kInvalid the lists stay empty.
LoadResult LoadDatabase(const char* loadName);

// The same for an image already in memory (`size` bytes, owned by the caller and kept alive as
// long as the lists are used). False, with the lists left empty, when the image is damaged.
bool LoadDatabaseImage(std::byte* image, std::size_t size);

// Drops removed entries and writes both lists to the database file, atomically: a temporary file
// beside it is written, flushed and renamed over it. Does nothing when PathList is empty. False
// when the file could not be written; the old file is then left as it was.
bool SaveDatabase(const char* saveName);
