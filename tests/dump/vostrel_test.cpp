// Whole-program runs of the built vostrel: its output compared character for character, with
// TZ=UTC so that the calendar texts are fixed, and its exit status.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "tests/dump/sample_database.h"
#include "tests/support/database_builder.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace {

class VostrelRun : public ::testing::Test {
 protected:
  ProgramResult Run(const std::vector<std::string>& args, RunOptions options = {}) {
    options.env.push_back("TZ=UTC");
    options.directory = dir.Path();
    ProgramResult result = RunProgram(VOSTREL_PATH, args, options, "vostrel");
    EXPECT_EQ(result.err, "") << "nothing goes to standard error";
    return result;
  }
  std::string Write(const std::string& name, const std::vector<std::byte>& image) {
    WriteFile(dir / name, AsText(image));
    return dir / name;
  }

  ScopedTempDir dir;
};

TEST_F(VostrelRun, PrintsEveryEntryInPathOrderAndCountsDupesInContentOrder) {
  const std::string db = Write("zemlo.dat", SampleDatabase());
  const ProgramResult result = Run({db});
  EXPECT_EQ(result.out, kSampleDump);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(ReadFile(db), AsText(SampleDatabase())) << "the file is only read";
}

TEST_F(VostrelRun, OnlyTheFirstArgumentCounts) {
  const std::string db = Write("zemlo.dat", SampleDatabase());
  (void)Write("other.dat", BuildDatabase({}));
  const ProgramResult result = Run({db, "other.dat", "-x"});
  EXPECT_EQ(result.out, kSampleDump);
  EXPECT_EQ(result.status, 0);
}

TEST_F(VostrelRun, EmptyDatabasePrintsTheHeaderLineAndZeros) {
  const std::vector<std::byte> empty = BuildDatabase({});
  ASSERT_EQ(empty.size(), 13u);
  const ProgramResult result = Run({Write("empty.dat", empty)});
  EXPECT_EQ(result.out, std::string(kHeaderLine) + "\n0 entries - 0 dupe(s)\n");
  EXPECT_EQ(result.status, 0);
}

TEST_F(VostrelRun, WithoutArgumentPrintsUsageWithTheInvokedName) {
  for (const char* name : {"vostrel", "/usr/local/bin/vostrel", "./dump it"}) {
    SCOPED_TRACE(name);
    const ProgramResult result = RunProgram(VOSTREL_PATH, {}, {}, name);
    EXPECT_EQ(result.out, "usage: " + std::string(name) + " <zemlo.dat>\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 255);
  }
}

TEST_F(VostrelRun, FileThatIsNoReadableDatabasePrintsTheZeroSummary) {
  const std::vector<std::byte> sample = SampleDatabase();
  auto patched = [&](std::size_t at, std::uint8_t value) {
    std::vector<std::byte> image = sample;
    image[at] = std::byte{value};
    return image;
  };
  std::vector<std::byte> pathCountPastEnd = sample;
  Store32(pathCountPastEnd, 5, 0xFFFFFFFFu);
  std::vector<std::byte> offsetPastEnd = sample;
  Store32(offsetPastEnd, 13, static_cast<std::uint32_t>(sample.size()));
  struct Case {
    const char* why;
    std::vector<std::byte> image;
  };
  const Case cases[] = {
      {"empty file", {}},
      {"header one byte short", std::vector<std::byte>(sample.begin(), sample.begin() + 12)},
      {"truncated inside the records", std::vector<std::byte>(sample.begin(), sample.end() - 1)},
      {"version 2", patched(4, 2)},
      {"version 0", patched(4, 0)},
      {"third byte not zero", patched(2, 1)},
      {"fourth byte not zero", patched(3, 1)},
      {"magic \"QE\"", patched(1, 'E')},
      {"last FileName without NUL", patched(sample.size() - 1, 'x')},
      {"PathCount past the end", pathCountPastEnd},
      {"record offset past the end", offsetPastEnd},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const ProgramResult result = Run({Write("damaged.dat", c.image)});
    EXPECT_EQ(result.out, kZeroSummary);
    EXPECT_EQ(result.status, 0);
  }
  for (const char* name : {"missing.dat", ".", "/"}) {
    SCOPED_TRACE(name);
    const ProgramResult result = Run({name});
    EXPECT_EQ(result.out, kZeroSummary);
    EXPECT_EQ(result.status, 0);
  }
}

TEST_F(VostrelRun, FileTheUserMayNotReadPrintsTheZeroSummary) {
  const std::string db = Write("zemlo.dat", SampleDatabase());
  ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(db.c_str(), 0600), 0);
  RunOptions asNobody;
  asNobody.uid = kNobody;
  const ProgramResult result = Run({db}, asNobody);
  EXPECT_EQ(result.out, kZeroSummary);
  EXPECT_EQ(result.status, 0);
  ASSERT_EQ(chmod(db.c_str(), 0644), 0);
  EXPECT_EQ(Run({db}, asNobody).out, kSampleDump) << "readable, the same file dumps in full";
}

TEST_F(VostrelRun, TimesCtimeCannotRenderPrintAPlaceholder) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t kYearPastInt = 67768036191676800;  // 2147485548-01-01: the year does not fit an int
  constexpr std::int64_t kYear10000 = 253402300800;         // rendered: the year takes five digits
  std::vector<TestRecord> records = {
      {1, {}, 0, 0, 1, kMax, kMin, "/a"},
      {2, {}, 0, 0, 2, kYearPastInt, 1700000000, "/b"},
      {3, {}, 0, 0, 3, kYear10000, -1, "/c"},
  };
  const ProgramResult result = Run({Write("times.dat", BuildDatabase(records))});
  const std::string zeros = "00000000000000000000000000000000";
  EXPECT_EQ(result.out,
            std::string(kHeaderLine) +
                "00000001 | " + zeros + " |     0 |         1 | ??? ??? ?? ??:??:?? ???? | ??? ??? ?? ??:??:?? ???? | /a\n"
                "00000002 | " + zeros + " |     0 |         2 | ??? ??? ?? ??:??:?? ???? | Tue Nov 14 22:13:20 2023 | /b\n"
                "00000003 | " + zeros + " |     0 |         3 | Sat Jan  1 00:00:00 10000 | Wed Dec 31 23:59:59 1969 | /c\n"
                "\n3 entries - 0 dupe(s)\n");
  EXPECT_EQ(result.status, 0);
}

// ctime's text in UTC, as the test's expectation; vostrel runs with TZ=UTC as well.
std::string UtcText(std::time_t time) {
  setenv("TZ", "UTC", 1);
  tzset();
  const std::string text = std::ctime(&time);
  return text.substr(0, text.size() - 1);
}

TEST_F(VostrelRun, DumpsADatabaseKrelbyWrote) {
  const std::string tree = dir / "tree";
  WriteFile(tree + "/a", "twelve bytes");
  WriteFile(tree + "/sub/b", "twelve bytes");
  WriteFile(tree + "/c", "other");
  RunOptions inDir;
  inDir.directory = dir.Path();
  const ProgramResult scan = RunProgram(KRELBY_PATH, {"-c", "tree"}, inDir, "krelby");
  ASSERT_EQ(scan.status, 0) << scan.out;
  const std::string saved = ReadFile(dir / "krelby.dat");
  ASSERT_FALSE(saved.empty()) << scan.out;

  // Each file's row, from its content's known checksums and its own status.
  auto row = [](const std::string& path, const char* crcAndMd5, const char* size) {
    struct stat status {};
    EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
    return std::string(crcAndMd5) + " |     0 | " + size + " | " + UtcText(status.st_ctime) + " | " +
           UtcText(status.st_mtime) + " | " + path + "\n";
  };
  const char* twelveBytes = "C5BFCCA0 | C91FA94E14CF2FA5474BECEFF788C0DC";  // "twelve bytes"
  const std::map<std::string, std::string> rows = {
      {tree + "/a", row(tree + "/a", twelveBytes, "       12")},
      {tree + "/sub/b", row(tree + "/sub/b", twelveBytes, "       12")},
      {tree + "/c", row(tree + "/c", "D9583520 | 795F3202B17CB6BC3D4B771D8C6C9EAF", "        5")},  // "other"
  };
  // The rows come in the file's path order (by path checksum), taken from its PathTable.
  std::vector<std::byte> image(saved.size());
  std::memcpy(image.data(), saved.data(), saved.size());
  ASSERT_EQ(Load32(image, 5), 3u);
  std::string expected = kHeaderLine;
  for (std::size_t i = 0; i < 3; ++i) {
    const std::string path = saved.c_str() + Load32(image, 13 + 4 * i) + 52;
    ASSERT_EQ(rows.count(path), 1u) << path;
    expected += rows.at(path);
  }
  expected += "\n3 entries - 1 dupe(s)\n";
  EXPECT_EQ(Run({"krelby.dat"}).out, expected);
}

}  // namespace
