// Whole-program runs of krelby: arguments -> settings block, texts, exit status.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string kName = "krelby";

std::string Usage() {
  return "USAGE: " + kName +
         " -dclnqrs [db to load] [db to save] <directory to scan>\n"
         "\tc = clear database\n"
         "\td = delete new dupes\n"
         "\tl = load name given\n"
         "\tn = dont add files to db\n"
         "\tq = quiet mode \n"
         "\tr = delete dupes saved in .dat\n"
         "\ts = save name given\n"
         "\tv = show version information\n"
         "IF -r is given " +
         kName + " only -lq are supported! DB will be saved after its done!\n";
}

const std::string kVersion = "Version:\nKrelby 2.0.3 by Norvane Labs\n";

struct Shown {
  std::string load = "krelby.dat";
  std::string save = "krelby.dat";
  const char* directory = "dir";  // nullptr: purge mode
  bool clear = false;
  bool deleteNew = false;
  bool saveDb = true;
  bool quiet = false;
};

std::string YesNo(bool on) { return on ? "YES" : "NO"; }

std::string Settings(const Shown& s) {
  std::string text = kName + " settings:\n";
  text += "Load DB               : " + s.load + "\n";
  text += "Save DB as            : " + s.save + "\n";
  if (s.directory != nullptr) {
    text += std::string("Directory to Scan     : ") + s.directory + "\n";
  }
  text += "Delete Dupes from DB  : " + YesNo(s.directory == nullptr) + "\n";
  text += "Clear Log             : " + YesNo(s.clear) + "\n";
  text += "Delete new Dupes      : " + YesNo(s.deleteNew) + "\n";
  text += "Save Database         : " + YesNo(s.saveDb) + "\n";
  text += s.quiet ? "Be Quiet              : YES\n\n" : "Be Quiet              : NO\n\nDUPE List:\n";
  return text;
}

std::string PurgeSettings(Shown s = {}) {
  s.directory = nullptr;
  return Settings(s);
}

// The report of a run that read nothing; the elapsed time is masked as <T>.
const std::string kEmptyReport =
    "\n\n0 bytes - 0 entries - 0 dupes - needed time: <T> seconds\n"
    "Scanspeed: 0.000000 MB per second\n";

std::string MaskTime(const std::string& out) {
  static const std::regex time("needed time: [0-9]+\\.[0-9]{6} seconds");
  return std::regex_replace(out, time, "needed time: <T> seconds");
}

TEST(CommandLine, ArgumentsToTextsAndStatus) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
    int status;
  };
  const std::string purgeEmpty = "ERROR: No Files in Database\n";
  const Case cases[] = {
      {{}, Usage(), 255},
      {{"dir"}, Settings({}) + kEmptyReport, 0},
      {{"-q"}, Usage(), 255},
      {{"-r"}, PurgeSettings() + purgeEmpty + kEmptyReport, 0},
      {{"-r", "x", "y"}, PurgeSettings() + purgeEmpty + kEmptyReport, 0},
      {{"-l"}, Usage(), 255},
      {{"-rl"}, Usage(), 255},
      {{"-l", "a.dat"}, Usage(), 255},
      {{"-s"}, Usage(), 255},
      {{"-ls", "a", "b", "dir"}, Settings({.load = "a", .save = "b"}) + kEmptyReport, 0},
      {{"-sl", "a", "b", "dir"}, Settings({.load = "b", .save = "a"}) + kEmptyReport, 0},
      {{"-ll", "a", "b", "dir"}, Settings({.load = "b", .save = "b"}) + kEmptyReport, 0},
      {{"-l", "a", "ignored", "dir"}, Settings({.load = "a", .save = "a"}) + kEmptyReport, 0},
      {{"-v", "dir"}, kVersion + Settings({}) + kEmptyReport, 0},
      {{"-vv", "dir"}, kVersion + kVersion + Settings({}) + kEmptyReport, 0},
      {{"-v"}, kVersion + Usage(), 255},
      {{"-lv"}, Usage(), 255},
      {{"-xyzV", "dir"}, Settings({}) + kEmptyReport, 0},
      {{"-", "dir"}, Settings({}) + kEmptyReport, 0},
      {{"a", "b", "dir"}, Settings({}) + kEmptyReport, 0},
      {{"-d", "-q", "dir"}, Settings({.directory = "dir", .deleteNew = true}) + kEmptyReport, 0},
      {{"-cnq", "dir"}, Settings({.clear = true, .saveDb = false, .quiet = true}) + kEmptyReport, 0},
      {{"-dq", "dir"}, Settings({.deleteNew = true, .quiet = true}) + kEmptyReport, 0},
      {{"-rs", "out.dat"}, PurgeSettings() + purgeEmpty + kEmptyReport, 0},
      {{"-rl", "a.dat"}, PurgeSettings({.load = "a.dat", .save = "a.dat"}) + purgeEmpty + kEmptyReport, 0},
      {{"-rc"}, PurgeSettings() + purgeEmpty + kEmptyReport, 0},
      {{"-rn"}, PurgeSettings() + purgeEmpty + kEmptyReport, 0},
      {{"-rdq"}, PurgeSettings({.deleteNew = true, .quiet = true}) + purgeEmpty + kEmptyReport, 0},
      {{"missing"}, Settings({.directory = "missing"}) + "ERROR: Directory 'missing' not Found!!!\n\n", 255},
      {{"file"}, Settings({.directory = "file"}) + "ERROR: Directory 'file' not Found!!!\n\n", 255},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& a : c.args) {
      line += " " + a;
    }
    SCOPED_TRACE("krelby" + line);
    ScopedTempDir home;
    MakeDirs(home / "dir");
    WriteFile(home / "file", "x");
    const ProgramResult run = RunProgram(KRELBY_PATH, c.args, {.directory = home.Path()}, kName.c_str());
    EXPECT_EQ(MaskTime(run.out), c.out);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, c.status);
    EXPECT_FALSE(Exists(home / "krelby.dat")) << "a run with no entries writes no database";
  }
}

TEST(CommandLine, InvocationNameAppearsAsTyped) {
  const ProgramResult run = RunProgram(KRELBY_PATH, {}, {}, "./bin/krelby");
  EXPECT_EQ(run.out.rfind("USAGE: ./bin/krelby -dclnqrs", 0), 0u) << run.out;
  EXPECT_NE(run.out.find("IF -r is given ./bin/krelby only -lq"), std::string::npos);
}

}  // namespace
