// krelby: finds files of equal content in a directory tree and remembers what it has seen.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "scanner/command_line.h"
#include "scanner/database_lock.h"
#include "scanner/hash_lanes.h"
#include "scanner/load_save.h"
#include "scanner/purge.h"
#include "scanner/report.h"
#include "scanner/run_state.h"
#include "scanner/start_directory.h"
#include "scanner/walk.h"

namespace {

// Walks ScanPath and comes back to the start directory. False when the way back failed, so that
// relative database names can no longer be resolved.
bool ScanTree(const char* scanPath) {
  if (!StartHashLanes()) {
    std::puts("ERROR: Unable to allocate memory");
    std::exit(255);
  }
  StartDirectory start;
  RememberStartDirectory(start);
  if (chdir(scanPath) != 0) {
    std::printf("ERROR: Directory '%s' not Found!!!\n\n", scanPath);
    std::exit(255);
  }
  ScanDirectory();
  return ReturnToStartDirectory(start);
}

// One run at a time per database: each file this run will load or save is locked before anything
// is read, and a run that finds one in use stops before it deletes or writes anything.
void LockDatabasesOrExit(const Settings& settings) {
  for (const char* name : {settings.LoadAtStart() ? settings.LoadName : nullptr,
                           settings.SaveAtEnd() ? settings.SaveName : nullptr}) {
    if (name != nullptr && LockDatabase(name) == LockResult::kInUse) {
      std::printf("ERROR: database '%s' is in use by another run\n", name);
      std::exit(255);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const ClockReading startTime = ReadClock();
  const char* programName = argc > 0 ? argv[0] : "krelby";
  const std::optional<Settings> settings = ReadCommandLine(argc, argv);
  if (!settings) {
    ExitWithUsage(programName);
  }
  PrintSettings(*settings, programName);

  LockDatabasesOrExit(*settings);
  CreateRunState();
  // A file that is there but is no database is never overwritten: stop before anything changes.
  if (settings->LoadAtStart() && LoadDatabase(settings->LoadName) == LoadResult::kInvalid) {
    std::printf("ERROR: '%s' is not a valid database\n", settings->LoadName);
    std::exit(255);
  }
  RemoveLeftoverTemporaries();  // with the locks held, no other run is writing any of them
  TotalBytes = 0;
  DupeCount = 0;
  bool backHome = true;
  if (settings->PurgeMode) {
    PurgeRecordedDupes();
  } else {
    backHome = ScanTree(settings->ScanPath);
  }
  int status = 0;
  if (settings->SaveAtEnd()) {
    // A relative name means the start directory; it cannot be resolved anywhere else. With no
    // entry there is nothing to save wherever the run stands.
    const bool resolvable = backHome || settings->SaveName[0] == '/';
    const bool saved = resolvable ? SaveDatabase(settings->SaveName) : PathList.count == 0;
    if (!saved) {
      std::printf("ERROR: Unable to save database '%s'\n", settings->SaveName);
      status = 1;
    }
  }
  const ClockReading endTime = ReadClock();
  PrintFinalReport(TotalBytes, PathList.count, DupeCount, ElapsedSeconds(startTime, endTime));
  return status;
}
