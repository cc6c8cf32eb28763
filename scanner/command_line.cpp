#include "scanner/command_line.h"

#include <cstdio>
#include <cstdlib>

#include "scanner/run_state.h"

namespace {

constexpr const char* kDefaultDatabase = "krelby.dat";
constexpr const char* kVersionBanner = "\nKrelby 2.0.3 by Norvane Labs\n";

}  // namespace

std::optional<Settings> ReadCommandLine(int argc, char** argv) {
  if (argc < 2) {
    return std::nullopt;
  }
  Settings settings;
  Quiet = false;
  DeleteNewDupes = false;
  int next = 1;  // the next untaken argument
  const char* word = argv[1];
  if (word[0] == '-') {
    next = 2;
    for (const char* letter = word + 1; *letter != '\0'; ++letter) {
      switch (*letter) {
        case 'c':
          settings.ClearDatabase = true;
          break;
        case 'd':
          DeleteNewDupes = true;
          break;
        case 'l':
          if (next == argc) {
            return std::nullopt;
          }
          settings.LoadName = argv[next++];
          break;
        case 'n':
          settings.NoSave = true;
          break;
        case 'q':
          Quiet = true;
          break;
        case 'r':
          settings.PurgeMode = true;
          break;
        case 's':
          if (next == argc) {
            return std::nullopt;
          }
          settings.SaveName = argv[next++];
          break;
        case 'v':
          std::printf("Version:%s", kVersionBanner);
          break;
        default:  // unknown letters are ignored without a message
          break;
      }
    }
  }
  if (next == argc && !settings.PurgeMode) {
    return std::nullopt;  // nothing left for the directory
  }
  if (settings.LoadName == nullptr) {
    settings.LoadName = kDefaultDatabase;
  }
  if (settings.SaveName == nullptr || settings.PurgeMode) {
    settings.SaveName = settings.LoadName;  // the purge rewrites the file it loaded
  }
  settings.ScanPath = argv[argc - 1];
  return settings;
}

void ExitWithUsage(const char* programName) {
  std::printf("USAGE: %s -dclnqrs [db to load] [db to save] <directory to scan>\n", programName);
  std::puts("\tc = clear database");
  std::puts("\td = delete new dupes");
  std::puts("\tl = load name given");
  std::puts("\tn = dont add files to db");
  std::puts("\tq = quiet mode ");
  std::puts("\tr = delete dupes saved in .dat");
  std::puts("\ts = save name given");
  std::puts("\tv = show version information");
  std::printf("IF -r is given %s only -lq are supported! DB will be saved after its done!\n", programName);
  std::exit(255);
}

void PrintSettings(const Settings& settings, const char* programName) {
  std::printf("%s settings:\n", programName);
  std::printf("Load DB               : %s\n", settings.LoadName);
  std::printf("Save DB as            : %s\n", settings.SaveName);
  if (!settings.PurgeMode) {
    std::printf("Directory to Scan     : %s\n", settings.ScanPath);
  }
  std::puts(settings.PurgeMode ? "Delete Dupes from DB  : YES" : "Delete Dupes from DB  : NO");
  std::puts(settings.ClearDatabase && !settings.PurgeMode ? "Clear Log             : YES" : "Clear Log             : NO");
  std::puts(DeleteNewDupes ? "Delete new Dupes      : YES" : "Delete new Dupes      : NO");
  std::puts(settings.SaveAtEnd() ? "Save Database         : YES" : "Save Database         : NO");
  if (Quiet) {
    std::puts("Be Quiet              : YES\n");
  } else {
    std::puts("Be Quiet              : NO\n\nDUPE List:");
  }
}
