// The walk and the content step run in this process on trees the tests make, with known entries
// fabricated where a case needs an order or checksums that real files cannot easily give.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "scanner/content.h"
#include "scanner/hash_lanes.h"
#include "scanner/run_state.h"
#include "scanner/walk.h"
#include "store/crc32.h"
#include "store/md5.h"
#include "tests/scanner/run_state_fixture.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/temp_dir.h"

namespace {

class ScanTest : public RunStateTest {
 protected:
  // One walk of the tree, as the run driver makes it; returns what it printed.
  std::string Scan() {
    char here[4096];
    EXPECT_NE(getcwd(here, sizeof here), nullptr);
    EXPECT_EQ(chdir(tree.Path().c_str()), 0);
    CaptureStdout capture;
    ScanDirectory();
    std::string out = capture.Text();
    EXPECT_EQ(chdir(here), 0);
    return out;
  }

};

TEST_F(ScanTest, NewFilesGetEntriesWithTheirChecksums) {
  WriteFile(tree / "sub/a", "alpha");
  WriteFile(tree / ".hidden", "");
  EXPECT_EQ(Scan(), "");
  EXPECT_EQ(PathList.count, 2u);
  const Entry a = Find(tree / "sub/a");
  EXPECT_EQ(Get(a, Field::CRC32), ChecksumsOf("alpha").crc);
  EXPECT_EQ(Get(a, Field::PathCRC), PathCrcOf(tree / "sub/a"));
  EXPECT_EQ(Get(a, Field::SIZE), 5u);
  EXPECT_EQ(Get(a, Field::RecordOffset), 0u);
  const Entry hidden = Find(tree / ".hidden");  // empty: CRC 0, but hashed and in ContentList
  EXPECT_EQ(Get(hidden, Field::CRC32), 0u);
  EXPECT_EQ(std::to_integer<int>(MD5Of(hidden)[0]), 0x7e);  // d41d8c...427e, reversed
  EXPECT_EQ(ContentList.count, 2u);
  EXPECT_EQ(TotalBytes, 5u);
}

TEST_F(ScanTest, UnchangedFilesAreNotReadAgain) {
  WriteFile(tree / "a", "same");
  WriteFile(tree / "d/b", "other");
  Scan();
  TotalBytes = 0;
  EXPECT_EQ(Scan(), "");
  EXPECT_EQ(TotalBytes, 0u);
  EXPECT_EQ(PathList.count, 2u);
  EXPECT_EQ(ContentList.count, 2u);
}

TEST_F(ScanTest, ModifiedFileIsRehashedInPlaceWithoutDupeSearch) {
  WriteFile(tree / "a", "one");
  WriteFile(tree / "b", "two");
  Scan();
  WriteFile(tree / "a", "two");  // now equal to b
  const timespec times[2] = {{0, UTIME_OMIT}, {1000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (tree / "a").c_str(), times, 0), 0);
  TotalBytes = 0;
  EXPECT_EQ(Scan(), "'" + (tree / "a") + "' got modified - updating db entry - no scan for dupe in list done!\n");
  EXPECT_EQ(DupeCount, 0u);
  EXPECT_EQ(TotalBytes, 3u);
  const Entry a = Find(tree / "a");
  EXPECT_EQ(Get(a, Field::CRC32), ChecksumsOf("two").crc);
  EXPECT_EQ(Get(a, Field::LastWrite), 1000000);
  EXPECT_EQ(PathList.count, 2u);
  EXPECT_EQ(ContentList.count, 2u);  // kept its place, no second node
}

TEST_F(ScanTest, MovedFileReportsItsOldEntryGoneEvenWhenQuiet) {
  WriteFile(tree / "a/x", "moving content");
  Scan();
  ASSERT_EQ(rename((tree / "a/x").c_str(), (tree / "x").c_str()), 0);
  Quiet = true;
  EXPECT_EQ(Scan(), "'" + (tree / "a/x") + "' is gone - DELETING OUT OF DB\n");
  EXPECT_EQ(DupeCount, 0u);
  EXPECT_EQ(Names(ContentList), (std::vector<std::string>{"(removed)", tree / "x"}));
  EXPECT_EQ(PathList.count, 2u);  // the removed entry stays linked until the save
}

// Contents a < m < b whose CRC-32 share bucket 0x0424; m is then edited into bucket 0x08A0. A
// modified entry moves to its new key within the run, so a later copy of b still meets b.
TEST_F(ScanTest, AnEditedFileMovesToItsNewKeyAndLaterCopiesStillMeetTheirMatch) {
  const std::string a = "content 34\n", m = "content 2257\n", b = "content 4288\n", edited = "edited\n";
  for (const auto& [name, content] : {std::pair{"a", a}, {"m", m}, {"b", b}}) {
    WriteFile(tree / name, content);
    AddKnown(tree / name, ChecksumsOf(content), static_cast<std::uint32_t>(content.size()));
  }
  ASSERT_EQ(BucketOf(ChecksumsOf(a).crc), 0x0424u);
  ASSERT_EQ(BucketOf(ChecksumsOf(b).crc), 0x0424u);
  struct stat status {};
  WriteFile(tree / "m", edited);
  ASSERT_EQ(stat((tree / "m").c_str(), &status), 0);
  HashAndMatch(Find(tree / "m"), Reconciled::kModified, TreeFd(), "m", status);
  EXPECT_EQ(Names(ContentList), (std::vector<std::string>{tree / "a", tree / "b", tree / "m"}));

  WriteFile(tree / "copy", b);
  ASSERT_EQ(stat((tree / "copy").c_str(), &status), 0);
  const std::string path = tree / "copy";
  const auto nameLength = static_cast<std::uint16_t>(path.size() + 1);
  const Entry copy{records.emplace_back(RecordSize(nameLength)).data()};
  FillNewEntry(copy, path.c_str(), nameLength, PathCrcOf(path), FileStatus{b.size(), 0, 0});
  CaptureStdout capture;
  HashAndMatch(copy, Reconciled::kNew, TreeFd(), "copy", status);
  EXPECT_EQ(capture.Text(), "'" + path + "' IS a DUPE with '" + (tree / "b") + "'\n");
  EXPECT_EQ(Names(ContentList), (std::vector<std::string>{tree / "a", tree / "b", path, tree / "m"}));
}

// A modified file whose content did not change keeps its place: of two equal files the one known
// first stays first, and is the one a purge keeps.
TEST_F(ScanTest, ARefreshThatKeepsItsChecksumKeepsItsPlace) {
  for (const char* name : {"x", "y"}) {
    WriteFile(tree / name, "same");
    AddKnown(tree / name, ChecksumsOf("same"), 4);
  }
  struct stat status {};  // y is known as it is; x with other times, so x alone is modified
  ASSERT_EQ(stat((tree / "y").c_str(), &status), 0);
  Set(Find(tree / "y"), Field::CreationTime, static_cast<std::int64_t>(status.st_ctime));
  Set(Find(tree / "y"), Field::LastWrite, static_cast<std::int64_t>(status.st_mtime));
  TotalBytes = 0;
  Scan();
  EXPECT_EQ(TotalBytes, 4u);
  EXPECT_EQ(Names(ContentList), (std::vector<std::string>{tree / "x", tree / "y"}));
}

// Files queued in a chosen order, hashed one at a time and side by side in all lanes: the same
// messages, content order and counts, as every outcome is committed in queue order. A modified
// file stands between two new copies of its new content; one file shrinks after it was queued.
TEST_F(ScanTest, LanesCommitEveryOutcomeInQueueOrder) {
  struct Outcome {
    std::string out;
    std::vector<std::string> contentOrder;
    std::uint64_t dupes;
    std::uint32_t shrunkCrc;
  };
  auto run = [&](std::size_t lanes) {
    SetUp();
    LimitHashLanes(lanes);
    WriteFile(tree / "m", "new content");
    const Entry m = AddKnown(tree / "m", ChecksumsOf("old content"), 11);
    WriteFile(tree / "n1", "new content");
    WriteFile(tree / "n2", "new content");
    WriteFile(tree / "e", "");
    const std::string big(200000, 'b');
    WriteFile(tree / "s", big);
    const Entry s = NewEntry("s", big.size());
    const std::pair<Entry, Reconciled> queued[] = {
        {NewEntry("n1", 11), Reconciled::kNew}, {m, Reconciled::kModified}, {NewEntry("n2", 11), Reconciled::kNew},
        {s, Reconciled::kNew},                  {NewEntry("e", 0), Reconciled::kNew},
    };
    CaptureStdout capture;
    DirectoryHold* hold = HoldDirectory(fcntl(TreeFd(), F_DUPFD_CLOEXEC, 0));
    for (const auto& [entry, outcome] : queued) {
      QueueFile(entry, outcome, hold, std::strrchr(FileNameOf(entry), '/') + 1, Get(entry, Field::SIZE));
    }
    EXPECT_EQ(truncate((tree / "s").c_str(), 10), 0);  // after the walk, before the read
    ReleaseDirectory(hold);
    FinishHashLanes();
    return Outcome{capture.Text(), Names(ContentList), DupeCount, Get(s, Field::CRC32)};
  };
  const Outcome one = run(1);
  const Outcome all = run(0);
  EXPECT_EQ(one.out, "'" + (tree / "m") + "' got modified - updating db entry - no scan for dupe in list done!\n'" +
                         (tree / "n2") + "' IS a DUPE with '" + (tree / "n1") + "'\n");
  EXPECT_EQ(all.out, one.out);
  EXPECT_EQ(all.contentOrder, one.contentOrder);
  EXPECT_EQ(one.dupes, 1u);
  EXPECT_EQ(all.dupes, 1u);
  EXPECT_EQ(one.shrunkCrc, 0u);
  EXPECT_EQ(all.shrunkCrc, 0u);
}

// Known entries whose checksums the test chooses, against one new file "n".
class MatchTest : public RunStateTest {
 protected:
  // `grown` is appended after the walk's look at the file, before it is hashed.
  std::string Match(const std::string& content, const std::string& grown = "") {
    WriteFile(tree / "n", content);
    EXPECT_EQ(chdir(tree.Path().c_str()), 0);
    struct stat status {};
    EXPECT_EQ(stat("n", &status), 0);
    WriteFile(tree / "n", content + grown);
    const std::string path = tree / "n";
    const auto nameLength = static_cast<std::uint16_t>(path.size() + 1);
    std::vector<std::byte>& bytes = records.emplace_back(RecordSize(nameLength));
    newEntry = Entry{bytes.data()};
    FillNewEntry(newEntry, path.c_str(), nameLength, PathCrcOf(path),
                 FileStatus{static_cast<std::uint64_t>(status.st_size), 0, 0});
    CaptureStdout capture;
    HashAndMatch(newEntry, Reconciled::kNew, TreeFd(), "n", status);
    return capture.Text();
  }
  Entry newEntry;
};

TEST_F(MatchTest, OnlyEqualChecksumsAndSizeOfAnExistingOtherFileMatch) {
  const std::string content = "0123456789";
  struct Case {
    const char* why;
    std::string knownContent;  // what the known file really holds
    std::uint32_t knownSize;
    bool deleteNew;
    bool dupe;
    bool deleted;
    std::string grown = "";
  };
  const Case cases[] = {
      {"equal: reported", content, 10, false, true, false},
      {"equal: deleted", content, 10, true, true, true},
      {"same checksums, other SIZE", content, 11, false, false, false},
      {"checksums collide, bytes differ: reported", "abcdefghij", 10, false, true, false},
      {"checksums collide, bytes differ: never deleted", "abcdefghij", 10, true, false, false},
      {"grew after the walk: hashed as equal, never deleted", content, 10, true, false, false, "+more"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    SetUp();
    DeleteNewDupes = c.deleteNew;
    WriteFile(tree / "known", c.knownContent);
    AddKnown(tree / "known", ChecksumsOf(content), c.knownSize);
    const std::string out = Match(content, c.grown);
    const std::string pair = "'" + (tree / "n") + "' IS a DUPE with '" + (tree / "known") + "'";
    const std::string expected = !c.dupe ? "" : pair + (c.deleted ? " - DELETED\n" : "\n");
    EXPECT_EQ(out, expected);
    EXPECT_EQ(DupeCount, c.dupe ? 1u : 0u);
    EXPECT_EQ(Exists(tree / "n"), !c.deleted);
    EXPECT_TRUE(Exists(tree / "known"));
    EXPECT_EQ(ContentList.count, c.deleted ? 1u : 2u);
  }
}

TEST_F(MatchTest, GoneCandidatesBeforeTheMatchAreMarkedThoseAfterAreNotLookedAt) {
  const std::string content = "shared bytes";
  const ContentChecksums sums = ChecksumsOf(content);
  const std::string gone = tree / "nowhere/a";
  const std::string present = tree / "keep/b";
  const std::string dupeLine = "'" + (tree / "n") + "' IS a DUPE with '" + present + "'\n";
  for (const bool goneFirst : {true, false}) {
    SCOPED_TRACE(goneFirst);
    SetUp();
    WriteFile(present, content);
    const Entry first = AddKnown(goneFirst ? gone : present, sums, 12);
    const Entry second = AddKnown(goneFirst ? present : gone, sums, 12);
    const Entry goneEntry = goneFirst ? first : second;
    const std::string goneLine = "'" + gone + "' is gone - DELETING OUT OF DB\n";
    EXPECT_EQ(Match(content), goneFirst ? goneLine + dupeLine : dupeLine);
    EXPECT_EQ(DupeCount, 1u);
    EXPECT_EQ(Get(goneEntry, Field::NameLength) == 0, goneFirst);
    EXPECT_EQ(Names(ContentList).back(), tree / "n");  // a kept duplicate stands after its match
  }
}

TEST_F(MatchTest, EmptyContentNeverMatches) {
  WriteFile(tree / "empty", "");
  AddKnown(tree / "empty", ChecksumsOf(""), 0);
  DeleteNewDupes = true;
  EXPECT_EQ(Match(""), "");
  EXPECT_EQ(DupeCount, 0u);
  EXPECT_TRUE(Exists(tree / "n"));
  EXPECT_EQ(Get(newEntry, Field::CRC32), 0u);
  EXPECT_EQ(ContentList.count, 2u);
}

// Empty content joins the run of zero keys at the head of ContentList, in arrival order, however
// that run is found; entries that get content leave the run, from its head or its tail, for the
// place of their new key (after the equal keys), and the run's shortcut stays true.
TEST_F(ScanTest, EmptyFilesJoinTheZeroRunInArrivalOrder) {
  const Entry z1 = AddKnown(tree / "z1", ChecksumsOf(""), 0);
  AddKnown(tree / "z2", ChecksumsOf(""), 0);
  AddKnown(tree / "a", ChecksumsOf("a"), 1);
  ASSERT_EQ(chdir(tree.Path().c_str()), 0);
  auto addEmpty = [&](const std::string& name, Reconciled outcome, Entry stored = Entry{}) {
    WriteFile(tree / name, outcome == Reconciled::kNew ? "" : "now with content");
    struct stat status {};
    EXPECT_EQ(stat(name.c_str(), &status), 0);
    Entry e = stored;
    if (outcome == Reconciled::kNew) {
      const std::string path = tree / name;
      const auto nameLength = static_cast<std::uint16_t>(path.size() + 1);
      e = Entry{records.emplace_back(RecordSize(nameLength)).data()};
      FillNewEntry(e, path.c_str(), nameLength, PathCrcOf(path), FileStatus{0, 0, 0});
    }
    HashAndMatch(e, outcome, TreeFd(), name.c_str(), status);
    return e;
  };
  addEmpty("e1", Reconciled::kNew);
  const Entry e2 = addEmpty("e2", Reconciled::kNew);
  EXPECT_EQ(Names(ContentList), (std::vector<std::string>{tree / "z1", tree / "z2", tree / "e1", tree / "e2", tree / "a"}));
  addEmpty("z1", Reconciled::kModified, z1);  // the head of the run
  addEmpty("e2", Reconciled::kModified, e2);  // its tail: the shortcut's node
  addEmpty("e3", Reconciled::kNew);
  // "now with content" (0x269FAF6E) sorts before "a" (0xE8B7BE43); z1 got it first.
  EXPECT_EQ(Names(ContentList),
            (std::vector<std::string>{tree / "z2", tree / "e1", tree / "e3", tree / "z1", tree / "e2", tree / "a"}));
  EXPECT_EQ(DupeCount, 0u);
}

TEST_F(MatchTest, ThePathOfTheVeryFileIsNoDuplicate) {
  ASSERT_EQ(symlink("n", (tree / "link").c_str()), 0);  // a link met earlier reaches the same file
  AddKnown(tree / "link", ChecksumsOf("only copy"), 9);
  DeleteNewDupes = true;
  EXPECT_EQ(Match("only copy"), "");
  EXPECT_EQ(DupeCount, 0u);
  EXPECT_EQ(ReadFile(tree / "n"), "only copy");
}

TEST_F(MatchTest, HardLinksAreDuplicatesAndTheContentStays) {
  WriteFile(tree / "first", "linked");
  AddKnown(tree / "first", ChecksumsOf("linked"), 6);
  ASSERT_EQ(chdir(tree.Path().c_str()), 0);
  ASSERT_EQ(link("first", "n"), 0);
  struct stat status {};
  ASSERT_EQ(stat("n", &status), 0);
  const std::string path = tree / "n";
  std::vector<std::byte>& bytes = records.emplace_back(RecordSize(static_cast<std::uint16_t>(path.size() + 1)));
  const Entry n{bytes.data()};
  FillNewEntry(n, path.c_str(), static_cast<std::uint16_t>(path.size() + 1), PathCrcOf(path), FileStatus{6, 0, 0});
  DeleteNewDupes = true;
  Quiet = true;
  CaptureStdout capture;
  HashAndMatch(n, Reconciled::kNew, TreeFd(), "n", status);
  EXPECT_EQ(capture.Text(), "");
  EXPECT_EQ(DupeCount, 1u);
  EXPECT_FALSE(Exists(tree / "n"));
  EXPECT_EQ(ReadFile(tree / "first"), "linked");
}

TEST_F(ScanTest, HashingReadsTheWalkSizeInPieces) {
  ASSERT_EQ(chdir(tree.Path().c_str()), 0);
  for (std::size_t size : {0u, 1u, 65535u, 65536u, 65537u, 131073u}) {
    SCOPED_TRACE(size);
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
      content[i] = static_cast<char>((i * 7 + i / 65536) & 0xFF);
    }
    WriteFile(tree / "f", content);
    TotalBytes = 0;
    const std::optional<ContentChecksums> sums = Hash("f", size);
    ASSERT_TRUE(sums.has_value());
    const ContentChecksums expected = ChecksumsOf(content);
    EXPECT_EQ(sums->crc, expected.crc);
    EXPECT_EQ(std::memcmp(sums->digest, expected.digest, 16), 0);
    EXPECT_EQ(TotalBytes, size);
  }
}

TEST_F(ScanTest, HashingAShrunkOrGrownFile) {
  ASSERT_EQ(chdir(tree.Path().c_str()), 0);
  WriteFile(tree / "f", std::string(70000, 'z'));
  const std::optional<ContentChecksums> shrunk = Hash("f", 140000);  // the walk saw it larger
  ASSERT_TRUE(shrunk.has_value());
  EXPECT_EQ(shrunk->crc, 0u);
  EXPECT_EQ(std::memcmp(shrunk->digest, ChecksumsOf("").digest, 16), 0);
  EXPECT_EQ(TotalBytes, 140000u);
  const std::optional<ContentChecksums> grown = Hash("f", 100);  // the walk saw it smaller
  ASSERT_TRUE(grown.has_value());
  EXPECT_EQ(grown->crc, ChecksumsOf(std::string(100, 'z')).crc);
  EXPECT_FALSE(Hash("missing", 5).has_value());
  ASSERT_EQ(mkfifo("fifo", 0644), 0);
  EXPECT_FALSE(Hash("fifo", 0).has_value());  // refused without blocking
  EXPECT_EQ(TotalBytes, 140100u);
}

// Two paths of equal length with equal PathCRC are two files, each with its own checksums.
TEST_F(ScanTest, EqualPathCrcOfTwoPathsKeepsBothFiles) {
  std::unordered_map<std::uint32_t, std::string> seen;
  std::string first;
  std::string second;
  std::uint64_t seed = 1;
  while (second.empty()) {  // random names: a birthday search takes some 10^5 tries
    char name[13] = {};
    for (int i = 0; i < 12; ++i) {
      seed = seed * 6364136223846793005u + 1442695040888963407u;
      name[i] = "abcdefghijklmnopqrstuvwxyz012345"[seed >> 59];
    }
    const auto [at, inserted] = seen.emplace(PathCrcOf(tree / name), name);
    if (!inserted) {
      first = at->second;
      second = name;
    }
  }
  WriteFile(tree / first, "first file");
  WriteFile(tree / second, "second file");
  EXPECT_EQ(Scan(), "");
  ASSERT_EQ(PathList.count, 2u);
  EXPECT_EQ(Get(Find(tree / first), Field::CRC32), ChecksumsOf("first file").crc);
  EXPECT_EQ(Get(Find(tree / second), Field::CRC32), ChecksumsOf("second file").crc);
  TotalBytes = 0;
  EXPECT_EQ(Scan(), "");  // and both are recognised unchanged
  EXPECT_EQ(TotalBytes, 0u);
}

TEST_F(ScanTest, LinksToDirectoriesAreNotFollowedAndDotNamesAreNotSkipped) {
  WriteFile(tree / "d/f", "in d");
  ASSERT_EQ(symlink("d", (tree / "ld").c_str()), 0);
  ASSERT_EQ(symlink(".", (tree / "d/loop").c_str()), 0);
  ASSERT_EQ(symlink("d/f", (tree / "lf").c_str()), 0);  // the same file as d/f: no duplicate
  ASSERT_EQ(symlink("missing", (tree / "dangling").c_str()), 0);
  WriteFile(tree / "..x", "dots");
  WriteFile(tree / ".y", "dot");
  DeleteNewDupes = true;
  EXPECT_EQ(Scan(), "");
  std::vector<std::string> names = Names(PathList);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{tree / "..x", tree / ".y", tree / "d/f", tree / "lf"}));
  EXPECT_EQ(DupeCount, 0u);
  EXPECT_TRUE(Exists(tree / "d/f"));
}

// Paths grow by a level at a time; a file whose full path would not fit is left out, and so is
// everything below a directory whose path would not fit. Nothing is written out of bounds.
TEST_F(ScanTest, PathsTooLongToUseAreSkipped) {
  const std::string level(200, 'd');
  ASSERT_EQ(chdir(tree.Path().c_str()), 0);
  std::size_t depth = 0;
  std::size_t expected = 0;
  for (std::size_t pathLength = tree.Path().size(); pathLength < 6000; pathLength += 1 + level.size(), ++depth) {
    WriteFile("f", "same");  // relative: the absolute path may be too long for the system
    expected += pathLength + 2 + 1 <= PATH_MAX ? 1 : 0;
    ASSERT_EQ(mkdir(level.c_str(), 0755), 0);
    ASSERT_EQ(chdir(level.c_str()), 0);
  }
  ASSERT_EQ(chdir("/"), 0);
  Quiet = true;
  Scan();
  EXPECT_GT(expected, 10u);
  EXPECT_LT(expected, depth);
  EXPECT_EQ(PathList.count, expected);
  EXPECT_EQ(DupeCount, expected - 1);
  for (const EntryNode* n = PathList.first; n != nullptr; n = n->next) {
    EXPECT_LT(std::strlen(FileNameOf(n->entry)), static_cast<std::size_t>(PATH_MAX));
  }
}

}  // namespace
