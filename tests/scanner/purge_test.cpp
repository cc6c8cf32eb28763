// The purge of recorded duplicates over ContentList groups the tests lay out with real files.

#include "scanner/purge.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/scanner/run_state_fixture.h"
#include "tests/support/capture_stdout.h"

namespace {

class PurgeTest : public RunStateTest {
 protected:
  std::string Purge() {
    CaptureStdout capture;
    PurgeRecordedDupes();
    return capture.Text();
  }
  // A known entry for a file of that content (written unless `present` is false).
  Entry Known(const std::string& name, const std::string& content, bool present = true) {
    if (present) {
      WriteFile(tree / name, content);
    }
    return AddKnown(tree / name, ChecksumsOf(content), static_cast<std::uint32_t>(content.size()));
  }
  std::string Deleted(const std::string& e, const std::string& p) {
    return "'" + (tree / e) + "' IS a DUPE with '" + (tree / p) + "' - DELETED\n";
  }
  std::string Unable(const std::string& e, const std::string& p) {
    return "'" + (tree / e) + "' IS a DUPE with '" + (tree / p) + "' - UNABLE TO DELETE\n";
  }
  static bool Removed(Entry e) { return Get(e, Field::NameLength) == 0; }
};

TEST_F(PurgeTest, LaterEntriesOfAGroupGoEachNamedBesideItsPredecessor) {
  const Entry x = Known("x", "same");
  const Entry y = Known("y", "same");
  const Entry z = Known("z", "same");
  Known("other", "different");
  EXPECT_EQ(Purge(), Deleted("y", "x") + Deleted("z", "y"));
  EXPECT_EQ(DupeCount, 2u);
  EXPECT_TRUE(Exists(tree / "x"));
  EXPECT_FALSE(Exists(tree / "y") || Exists(tree / "z"));
  EXPECT_FALSE(Removed(x));
  EXPECT_TRUE(Removed(y) && Removed(z));
  EXPECT_TRUE(Exists(tree / "other"));
}

TEST_F(PurgeTest, QuietDeletesAndCountsWithoutMessages) {
  Known("x", "same");
  Known("y", "same");
  Quiet = true;
  EXPECT_EQ(Purge(), "");
  EXPECT_EQ(DupeCount, 1u);
  EXPECT_FALSE(Exists(tree / "y"));
}

TEST_F(PurgeTest, AnEntryOfTheSameCrcWithAnotherMd5SplitsTheGroup) {
  const ContentChecksums sums = ChecksumsOf("same");
  Known("a", "same");
  ContentChecksums other = sums;
  other.digest[0] ^= 1;
  WriteFile(tree / "b", "not the same");
  AddKnown(tree / "b", other, 4);
  Known("c", "same");
  EXPECT_EQ(Purge(), "");
  EXPECT_EQ(DupeCount, 0u);
  EXPECT_TRUE(Exists(tree / "a") && Exists(tree / "b") && Exists(tree / "c"));
}

TEST_F(PurgeTest, EmptyFilesAndSingleEntriesAreLeftAlone) {
  Known("e1", "");
  Known("e2", "");
  Known("e3", "");
  Known("single", "alone");
  EXPECT_EQ(Purge(), "");
  EXPECT_EQ(DupeCount, 0u);
  EXPECT_TRUE(Exists(tree / "e2") && Exists(tree / "e3"));
}

TEST_F(PurgeTest, SizeIsNotComparedBytesAre) {
  Known("x", "equal bytes");
  const Entry y = Known("y", "equal bytes");
  Set(y, Field::SIZE, 999);  // a recorded size that disagrees changes nothing
  EXPECT_EQ(Purge(), Deleted("y", "x"));
  EXPECT_EQ(DupeCount, 1u);
}

TEST_F(PurgeTest, AlreadyGoneDuplicateIsReportedCountedAndKept) {
  Known("x", "content");
  const Entry y = Known("y", "content", /*present=*/false);
  EXPECT_EQ(Purge(), Unable("y", "x"));
  EXPECT_EQ(DupeCount, 1u);
  EXPECT_FALSE(Removed(y));
}

// Nothing is deleted unless a kept copy with the very same bytes is confirmed on disk.
TEST_F(PurgeTest, DeletesOnlyWhatAKeptCopyConfirms) {
  struct Case {
    const char* why;
    std::string xContent;  // x, y, z are recorded with the checksums of "payload"
    bool xPresent;
    std::string yContent;
    std::string out;
    std::uint64_t dupes;
    bool xLeft, yLeft, zLeft;
  };
  const std::string payload = "payload";
  const Case cases[] = {
      {"y changed since it was hashed: kept; z differs from y, the latest copy, and is kept too", payload,
       true, "changed", "", 0, true, true, true},
      {"the first copy is gone: y becomes the kept copy, z goes", payload, false, payload, Deleted("z", "y"), 1,
       false, true, false},
      {"x changed: y has nothing to be confirmed against and is kept, z goes", "changed", true, payload,
       Deleted("z", "y"), 1, true, true, false},
      {"y grew past the bytes it shares with x: kept, and z, shorter than y, too", payload, true,
       payload + "+more", "", 0, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    SetUp();
    for (const char* name : {"x", "y", "z"}) {
      (void)unlink((tree / name).c_str());
    }
    if (c.xPresent) {
      WriteFile(tree / "x", c.xContent);
    }
    WriteFile(tree / "y", c.yContent);
    WriteFile(tree / "z", payload);
    for (const char* name : {"x", "y", "z"}) {
      AddKnown(tree / name, ChecksumsOf(payload), 7);
    }
    EXPECT_EQ(Purge(), c.out);
    EXPECT_EQ(DupeCount, c.dupes);
    EXPECT_EQ(Exists(tree / "x"), c.xLeft);
    EXPECT_EQ(Exists(tree / "y"), c.yLeft);
    EXPECT_EQ(Exists(tree / "z"), c.zLeft);
  }
}

TEST_F(PurgeTest, ASecondPathToTheKeptFileIsNeverDeleted) {
  Known("x", "only copy");
  ASSERT_EQ(symlink("x", (tree / "link").c_str()), 0);
  AddKnown(tree / "link", ChecksumsOf("only copy"), 9);
  EXPECT_EQ(Purge(), "");
  EXPECT_EQ(DupeCount, 0u);
  EXPECT_EQ(ReadFile(tree / "x"), "only copy");
}

TEST_F(PurgeTest, NoEntriesOrNoHashedEntries) {
  EXPECT_EQ(Purge(), "ERROR: No Files in Database\n");
  Known("x", "content");
  ClearList(ContentList);  // entries known by path only
  ClearIndex(ContentIndex);
  Quiet = true;
  EXPECT_EQ(Purge(), "ERROR: No Files in Database\n");
}

}  // namespace
