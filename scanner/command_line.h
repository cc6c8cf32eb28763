#pragma once

#include <optional>

// What the command line asked for. Quiet and DeleteNewDupes are run-wide flags and are set
// directly while the option word is read.
struct Settings {
  bool ClearDatabase = false;
  bool NoSave = false;
  bool PurgeMode = false;
  const char* LoadName = nullptr;
  const char* SaveName = nullptr;
  const char* ScanPath = nullptr;  // the last argument; unused in purge mode

  bool LoadAtStart() const { return PurgeMode || !ClearDatabase; }
  bool SaveAtEnd() const { return PurgeMode || !NoSave; }
};

// Reads the option word (the first argument, when it starts with "-") letter by letter; l and s
// each take the next untaken argument. Prints the version text for every v met. Returns nullopt
// when the command line is incomplete and the usage text is due.
std::optional<Settings> ReadCommandLine(int argc, char** argv);

[[noreturn]] void ExitWithUsage(const char* programName);
void PrintSettings(const Settings& settings, const char* programName);
