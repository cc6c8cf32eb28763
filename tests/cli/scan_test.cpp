// Whole-program scans of trees the tests build: messages, counts, and which files remain.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/krelby_run.h"
#include "tests/support/temp_dir.h"

namespace {

std::string Dupe(const std::string& dupe, const std::string& kept, const char* tail = "") {
  return "'" + dupe + "' IS a DUPE with '" + kept + "'" + tail;
}

// Splits "'a' IS a DUPE with 'b'<tail>" into a and b.
std::pair<std::string, std::string> PairOf(const std::string& message) {
  const std::string middle = "' IS a DUPE with '";
  const std::size_t at = message.find(middle);
  if (message.empty() || message[0] != '\'' || at == std::string::npos) {
    return {};
  }
  const std::size_t keptEnd = message.find('\'', at + middle.size());
  return {message.substr(1, at - 1), message.substr(at + middle.size(), keptEnd - at - middle.size())};
}

class ScanRun : public ::testing::Test {
 protected:
  // Runs krelby from home on the tree, with no database kept unless the flags say so.
  KrelbyRun Scan(const std::string& flags, RunOptions options = {}) {
    options.directory = home.Path();
    return RunKrelby({flags, tree}, options);
  }
  // For runs as an unprivileged user: the home and tree must be reachable.
  void OpenUp() { ASSERT_EQ(chmod(home.Path().c_str(), 0755), 0); }

  ScopedTempDir home;
  std::string tree = home / "tree";
};

TEST_F(ScanRun, EqualNewFilesAreReportedAgainstTheFirstMet) {
  struct Case {
    const char* flags;
    int copies;
    bool deleted;
    bool quiet;
  };
  const Case cases[] = {
      {"-cn", 2, false, false}, {"-cn", 3, false, false}, {"-cnd", 2, true, false},
      {"-cnd", 3, true, false}, {"-cnq", 3, false, true}, {"-cndq", 3, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.flags) + " copies " + std::to_string(c.copies));
    std::vector<std::string> paths;
    for (int i = 0; i < c.copies; ++i) {
      paths.push_back(tree + (i == 0 ? "/top" : i == 1 ? "/sub/copy" : "/sub/deeper/copy"));
      WriteFile(paths.back(), "twelve bytes");
    }
    WriteFile(tree + "/other", "different");
    const KrelbyRun run = Scan(c.flags);
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.entries, static_cast<std::uint64_t>(c.copies + 1));
    EXPECT_EQ(run.dupes, static_cast<std::uint64_t>(c.copies - 1));
    EXPECT_EQ(run.bytes, 12u * static_cast<unsigned>(c.copies) + 9u);
    if (c.quiet) {
      EXPECT_TRUE(run.messages.empty());
      std::size_t left = 0;
      for (const std::string& p : paths) {
        left += Exists(p) ? 1 : 0;
      }
      EXPECT_EQ(left, c.deleted ? 1u : paths.size());
    } else {
      ASSERT_EQ(run.messages.size(), static_cast<std::size_t>(c.copies - 1));
      const std::string kept = PairOf(run.messages[0]).second;
      std::set<std::string> dupes;
      for (const std::string& m : run.messages) {
        const auto [dupe, keptHere] = PairOf(m);
        EXPECT_EQ(m, Dupe(dupe, kept, c.deleted ? " - DELETED" : ""));
        EXPECT_EQ(Exists(dupe), !c.deleted);
        dupes.insert(dupe);
      }
      EXPECT_TRUE(Exists(kept));
      EXPECT_EQ(dupes.size() + 1, paths.size());
      EXPECT_EQ(dupes.count(kept), 0u);
    }
    EXPECT_TRUE(Exists(tree + "/other"));
    EXPECT_FALSE(Exists(home / "krelby.dat"));
    ASSERT_EQ(system(("rm -rf " + tree).c_str()), 0);
  }
}

TEST_F(ScanRun, EmptyFilesFifosAndDirectoryLinksAreNoDuplicates) {
  WriteFile(tree + "/e1", "");
  WriteFile(tree + "/sub/e2", "");
  WriteFile(tree + "/sub/f", "content");
  ASSERT_EQ(mkfifo((tree + "/fifo").c_str(), 0644), 0);  // opening it would hang the scan
  ASSERT_EQ(symlink("sub", (tree + "/dirlink").c_str()), 0);
  ASSERT_EQ(symlink("..", (tree + "/sub/up").c_str()), 0);
  const KrelbyRun run = Scan("-cnd");
  EXPECT_EQ(run.result.signal, 0);
  EXPECT_TRUE(run.messages.empty()) << run.result.out;
  EXPECT_EQ(run.entries, 3u);  // e1, e2, f: nothing through the links, no FIFO
  EXPECT_EQ(run.dupes, 0u);
  EXPECT_EQ(run.bytes, 7u);
  EXPECT_TRUE(Exists(tree + "/e1") && Exists(tree + "/sub/e2"));
}

TEST_F(ScanRun, LinkToAFileIsTheSameFileNotADuplicate) {
  WriteFile(tree + "/only", "the only copy");
  ASSERT_EQ(symlink("only", (tree + "/link").c_str()), 0);
  const KrelbyRun run = Scan("-cnd");
  EXPECT_TRUE(run.messages.empty()) << run.result.out;
  EXPECT_EQ(run.entries, 2u);  // the link is recorded under its own path
  EXPECT_EQ(run.dupes, 0u);
  EXPECT_EQ(ReadFile(tree + "/only"), "the only copy");
}

TEST_F(ScanRun, HardLinksAreDuplicatesAndOneNameStays) {
  WriteFile(tree + "/h1", "linked");
  ASSERT_EQ(link((tree + "/h1").c_str(), (tree + "/h2").c_str()), 0);
  const KrelbyRun run = Scan("-cnd");
  ASSERT_EQ(run.messages.size(), 1u);
  const auto [dupe, kept] = PairOf(run.messages[0]);
  EXPECT_EQ(run.messages[0], Dupe(dupe, kept, " - DELETED"));
  EXPECT_FALSE(Exists(dupe));
  EXPECT_EQ(ReadFile(kept), "linked");
}

TEST_F(ScanRun, UnreadableFilesAndDirectoriesAsAnOrdinaryUser) {
  OpenUp();
  WriteFile(tree + "/public", "same text");
  WriteFile(tree + "/secret", "same text");
  WriteFile(tree + "/locked/inside", "same text");
  WriteFile(tree + "/searchonly/inside", "same text");
  WriteFile(tree + "/listonly/inside", "same text");
  ASSERT_EQ(chmod((tree + "/secret").c_str(), 0), 0);
  ASSERT_EQ(chmod((tree + "/locked").c_str(), 0), 0);
  ASSERT_EQ(chmod((tree + "/searchonly").c_str(), 0311), 0);
  ASSERT_EQ(chmod((tree + "/listonly").c_str(), 0644), 0);
  const KrelbyRun run = Scan("-cnd", {.uid = kNobody});
  EXPECT_EQ(run.result.status, 0) << run.result.out;
  EXPECT_TRUE(run.messages.empty()) << run.result.out;
  EXPECT_EQ(run.entries, 2u);  // public, and secret without checksums
  EXPECT_EQ(run.bytes, 9u);
  EXPECT_EQ(run.dupes, 0u);
}

TEST_F(ScanRun, DuplicateThatCannotBeDeletedIsReportedAndCounted) {
  OpenUp();
  WriteFile(tree + "/a", "keep me");
  WriteFile(tree + "/b", "keep me");
  WriteFile(tree + "/c", "keep me");
  const KrelbyRun run = Scan("-cnd", {.uid = kNobody});  // the tree is root's: nobody may delete
  ASSERT_EQ(run.messages.size(), 2u) << run.result.out;
  const std::string kept = PairOf(run.messages[0]).second;
  for (const std::string& m : run.messages) {
    EXPECT_EQ(m, Dupe(PairOf(m).first, kept, " - UNABLE TO DELETE"));
  }
  EXPECT_EQ(run.dupes, 2u);
  EXPECT_TRUE(Exists(tree + "/a") && Exists(tree + "/b") && Exists(tree + "/c"));
}

// What the walk meets, in the order it meets it: directory streams in their own order, subtrees
// where they stand, links to directories never entered.
struct Met {
  std::string path;
  struct stat status;
};
void WalkLikeTheScanner(const std::string& dir, std::vector<Met>& met) {
  DIR* stream = opendir(dir.c_str());
  ASSERT_NE(stream, nullptr);
  while (const dirent* item = readdir(stream)) {
    const std::string name = item->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    const std::string path = dir + "/" + name;
    struct stat own {};
    struct stat target {};
    if (lstat(path.c_str(), &own) == 0 && S_ISDIR(own.st_mode)) {
      WalkLikeTheScanner(path, met);
    } else if (stat(path.c_str(), &target) == 0 && S_ISREG(target.st_mode)) {
      met.push_back(Met{path, target});
    }
  }
  closedir(stream);
}

// md5sum's digests of the given files, keyed by path.
std::map<std::string, std::string> Md5sumOf(const std::vector<Met>& files, const std::string& scratch) {
  const std::string list = scratch + "/list";
  FILE* out = std::fopen(list.c_str(), "wb");
  for (const Met& m : files) {
    std::fwrite(m.path.c_str(), 1, m.path.size() + 1, out);
  }
  std::fclose(out);
  std::map<std::string, std::string> digests;
  FILE* in = popen(("xargs -0 md5sum --zero < " + list).c_str(), "r");
  std::string record;
  for (int ch; (ch = std::fgetc(in)) != EOF;) {
    if (ch != '\0') {
      record.push_back(static_cast<char>(ch));
      continue;
    }
    digests[record.substr(34)] = record.substr(0, 32);  // "<32 hex>  <path>"
    record.clear();
  }
  EXPECT_EQ(pclose(in), 0);
  return digests;
}

// A copy of a real tree: the reported duplicates are exactly those that grouping by size and an
// independent digest predicts, under the documented rules (empty files never match, the first met
// is kept, a path to the very same file is no copy, hard links are copies).
TEST_F(ScanRun, RealTreeMatchesAnIndependentGrouping) {
  MakeDirs(tree);
  ASSERT_EQ(system(("cp -a /usr/share/doc " + tree + "/doc").c_str()), 0);
  std::vector<Met> before;
  WalkLikeTheScanner(tree, before);
  ASSERT_GT(before.size(), 1000u);
  // A hard link and a link to a file, to bring every rule in.
  ASSERT_EQ(link(before[10].path.c_str(), (tree + "/hard").c_str()), 0);
  ASSERT_EQ(symlink(before[20].path.c_str(), (tree + "/soft").c_str()), 0);

  std::vector<Met> met;
  WalkLikeTheScanner(tree, met);
  const std::map<std::string, std::string> digests = Md5sumOf(met, home.Path());
  ASSERT_EQ(digests.size(), met.size());
  std::map<std::pair<off_t, std::string>, std::vector<const Met*>> groups;
  std::vector<std::string> expected;
  std::uint64_t bytes = 0;
  for (const Met& m : met) {
    bytes += static_cast<std::uint64_t>(m.status.st_size);
    if (m.status.st_size == 0) {
      continue;
    }
    std::vector<const Met*>& earlier = groups[{m.status.st_size, digests.at(m.path)}];
    for (const Met* known : earlier) {
      const bool sameFile = known->status.st_dev == m.status.st_dev && known->status.st_ino == m.status.st_ino &&
                            known->status.st_nlink == 1;
      if (!sameFile) {
        expected.push_back(Dupe(m.path, known->path));
        break;
      }
    }
    earlier.push_back(&m);
  }
  ASSERT_FALSE(expected.empty());

  const KrelbyRun run = Scan("-cn");
  EXPECT_EQ(run.messages, expected);
  EXPECT_EQ(run.dupes, expected.size());
  EXPECT_EQ(run.entries, met.size());
  EXPECT_EQ(run.bytes, bytes);
}

}  // namespace
