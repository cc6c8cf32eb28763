// Hashing files side by side changes nothing a run shows or keeps: krelby with all its lanes and a
// copy built to hash one file at a time give the same messages, counts, deletions and database
// bytes on the same trees.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/database_file.h"
#include "tests/support/krelby_run.h"
#include "tests/support/temp_dir.h"

namespace {

// Deterministic bytes: `size` of them, from a seed.
std::string Content(std::uint32_t seed, std::size_t size) {
  std::string s(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

// Files with fixed modification times, so that a tree built twice differs only in its ctimes.
void Put(const std::string& path, const std::string& content) {
  WriteFile(path, content);
  const timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Many files, some equal, in several directories; sizes from empty to several pieces.
void ManyFiles(const std::string& tree) {
  for (std::uint32_t i = 0; i < 120; ++i) {
    const std::uint32_t seed = i % 17;  // files of one seed are equal
    const std::size_t size = seed % 5 == 0 ? 0 : (seed * 104729u) % 200000;
    Put(tree + "/d" + std::to_string(i % 9) + "/s" + std::to_string(i % 3) + "/f" + std::to_string(i),
        Content(seed, size));
  }
}

// One huge file among many small ones, some of them its copies.
void HugeAmongSmall(const std::string& tree) {
  const std::string huge = Content(99, (3u << 20) + 17);
  Put(tree + "/huge", huge);
  for (std::uint32_t i = 0; i < 80; ++i) {
    Put(tree + "/small/" + std::to_string(i), i % 20 == 0 ? huge : Content(i % 11, 100 + i));
  }
}

// Hard links and symbolic links to files beside plain copies.
void Links(const std::string& tree) {
  ManyFiles(tree);
  for (int i = 0; i < 10; ++i) {
    const std::string target = tree + "/d" + std::to_string(i % 9) + "/s" + std::to_string(i % 3) + "/f" +
                               std::to_string(i);
    ASSERT_EQ(link(target.c_str(), (tree + "/hard" + std::to_string(i)).c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), (tree + "/soft" + std::to_string(i)).c_str()), 0);
  }
}

// Unreadable files among readable ones, for a run as an unprivileged user.
void Unreadable(const std::string& tree) {
  ManyFiles(tree);
  for (int i = 0; i < 120; i += 7) {
    ASSERT_EQ(chmod((tree + "/d" + std::to_string(i % 9) + "/s" + std::to_string(i % 3) + "/f" +
                     std::to_string(i)).c_str(), 0),
              0);
  }
}

// Record bytes with the status-change times zeroed: the one thing a tree built again changes.
std::string WithoutChangeTimes(std::string bytes) {
  for (const ParsedRecord& r : ParseDatabase(bytes).records) {
    bytes.replace(r.offset + 34, 8, 8, '\0');
  }
  return bytes;
}

TEST(Lanes, OneFileAtATimeAndAllLanesGiveTheSameRun) {
  struct Case {
    const char* why;
    std::function<void(const std::string&)> build;
    std::string flags;
    bool asNobody = false;
  };
  const Case cases[] = {
      {"equal files met in different lanes", ManyFiles, "-cqs"},
      {"equal files, reported one by one", ManyFiles, "-cs"},
      {"a huge file in flight while small ones finish", HugeAmongSmall, "-cs"},
      {"hard and symbolic links", Links, "-cs"},
      {"deletions in directories the walk has left", ManyFiles, "-cds"},
      {"deletions among links", Links, "-cds"},
      {"unreadable files, as an ordinary user", Unreadable, "-cs", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    ScopedTempDir home;
    ASSERT_EQ(chmod(home.Path().c_str(), 0777), 0);
    const std::string tree = home / "tree";
    std::vector<KrelbyRun> runs;
    std::vector<std::string> databases;
    for (const char* program : {KRELBY_ONE_LANE_PATH, KRELBY_PATH}) {
      c.build(tree);
      RunOptions options{.directory = home.Path()};
      if (c.asNobody) {
        options.uid = kNobody;
      }
      runs.push_back(RunKrelby(program, {c.flags, home / "out.dat", tree}, options));
      ASSERT_EQ(runs.back().result.status, 0) << runs.back().result.out;
      databases.push_back(WithoutChangeTimes(ReadFile(home / "out.dat")));
      std::string rm = "rm -rf '" + tree + "'";
      ASSERT_EQ(std::system(rm.c_str()), 0);
    }
    EXPECT_EQ(runs[0].messages, runs[1].messages);
    EXPECT_EQ(runs[0].bytes, runs[1].bytes);
    EXPECT_EQ(runs[0].entries, runs[1].entries);
    EXPECT_EQ(runs[0].dupes, runs[1].dupes);
    EXPECT_EQ(databases[0], databases[1]);
    EXPECT_GT(runs[0].dupes + (c.asNobody ? 1 : 0), 0u);
  }
}

}  // namespace
