#pragma once

// One run at a time per database file. A run holds an exclusive flock on "<database>.lock" beside
// each database it loads or saves, from before the load to its exit. The kernel drops the lock when
// the process ends, however it ends, so a killed run never leaves one behind. The lock file itself
// stays: removing it would let a run that opened the old file and one that created a new one both
// believe they hold the lock.

#include <string>

// The file a database name stands for: the name itself or, when the name is a symbolic link, the
// file it leads to. The save replaces this file, and the lock file is named after it, so that every
// name for one database file meets the same lock.
std::string DatabaseTarget(const char* name);

// A save writes "<target>.tmp" and six letters or digits (the template mkstemp fills in), then
// renames it over the target.
inline constexpr char kTemporarySuffix[] = ".tmpXXXXXX";

enum class LockResult {
  kLocked,       // this run holds the lock, now or from an earlier call naming the same file
  kWithoutLock,  // no lock file can be opened or made there: the run goes on without one
  kInUse,        // another run holds it
};

// Takes the lock of the database `name`, without waiting, and keeps it until the process ends.
// kWithoutLock where the lock file can neither be opened nor created (a directory this run may
// not write, a read-only file system): a run there can only load, never save.
LockResult LockDatabase(const char* name);

// Removes what killed saves of the locked databases left beside them: regular files named as a
// save's temporary of that database. Only databases whose lock this run holds are cleaned, since
// only then can no other run be writing one of those files.
void RemoveLeftoverTemporaries();
