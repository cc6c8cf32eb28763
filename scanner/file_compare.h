#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

#include "store/handles.h"

// The directory part of a path: "." for a bare name, "/" for a name right under the root.
std::string DirectoryOf(const std::string& path);

// Two statuses of one inode.
inline bool SameInode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens a file for reading without blocking, and only if it is a regular file: a FIFO or device
// that took a file's place cannot hang the run. The name is taken relative to `directory` (a
// descriptor, or AT_FDCWD); `status` is the opened file's own.
Fd OpenRegular(int directory, const char* name, struct stat& status);

// Reads exactly `length` bytes unless the file ends or fails first.
bool ReadFully(int fd, std::byte* into, std::size_t length);

// One name of a file as it stands right now, held through the directory that contains it. The
// directory stays open, so whatever later happens to the path above it, the name is reached in
// the very directory that was looked at.
struct HeldName {
  Fd directory;
  struct stat directoryStatus {};
  std::string name;          // one path component
  struct stat nameStatus {};  // the name itself: a symbolic link is the link
  Fd file;                    // what the name leads to, open for reading when held for reading
                              // and it may be read
  struct stat fileStatus {};  // the status of that very file
};

// What a held name is for: only telling whether two names are one file (SameFile), or also
// reading the file (SameBytes, and so a deletion). Telling needs statuses alone; the file is opened
// only to be read.
enum class HoldFor { kTelling, kReading };

// Holds the last component of an absolute path in its parent directory. False when the path
// does not lead to a file now (gone, dangling link, no permission).
bool HoldPath(const char* path, HeldName& held, HoldFor purpose = HoldFor::kReading);
// Holds `name` in an open directory (the descriptor is duplicated, not taken).
bool HoldName(int directory, const char* name, HeldName& held, HoldFor purpose = HoldFor::kReading);

// Two names are one file when they are the same directory entry (the same directory, by device
// and inode, and the same name), or lead to the same inode that has one link. Deleting one of
// them would delete the other. Hard links in different entries are separate names: deleting one
// leaves the content under the others.
bool SameFile(const HeldName& a, const HeldName& b);

// True when the two held files hold the same bytes, read afresh from the files whose status was
// held: the last check before a deletion, so that neither a checksum collision nor a change since
// hashing can cost the only copy. A file holding more than its size said when held (it grew) is
// never equal. Each held name is compared at most once.
bool SameBytes(const HeldName& kept, const HeldName& other);
