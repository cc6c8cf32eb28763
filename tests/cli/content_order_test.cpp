// A database whose content order is out of CRC32 order (as an older save left it after a file was
// refreshed in place) is healed by the next run that saves it: the purge and vostrel then see equal
// contents as neighbours.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/support/database_builder.h"
#include "tests/support/database_file.h"
#include "tests/support/krelby_run.h"
#include "tests/support/temp_dir.h"

namespace {

std::vector<std::byte> AsBytes(const std::string& text) {
  std::vector<std::byte> bytes;
  for (char c : text) {
    bytes.push_back(static_cast<std::byte>(c));
  }
  return bytes;
}

std::string AsText(const std::vector<std::byte>& bytes) {
  std::string text;
  for (std::byte b : bytes) {
    text.push_back(static_cast<char>(b));
  }
  return text;
}

TEST(ContentOrder, AMisplacedDatabaseIsSavedSortedAndItsDuplicatesBecomeNeighbours) {
  ScopedTempDir home;
  const std::string tree = home / "tree";
  const RunOptions options{.directory = home.Path()};
  // a, then m, then b in later runs, so that b (a copy of a) is the one recorded as its duplicate.
  WriteFile(tree + "/a", "the content a and b share");
  WriteFile(tree + "/m", "something else");
  ASSERT_EQ(RunKrelby({"-q", tree}, options).result.status, 0);
  WriteFile(tree + "/b", "the content a and b share");
  ASSERT_EQ(RunKrelby({"-q", tree}, options).dupes, 1u);

  // Put m between a and b, as if it had been refreshed in place: the order is no longer ascending
  // (m's CRC32 differs from the one a and b share, so one of the two steps goes down).
  const std::string database = home / "krelby.dat";
  const ParsedDatabase before = ParseDatabase(ReadFile(database));
  ASSERT_TRUE(before.ok);
  ASSERT_EQ(before.contentCount, 3u);
  std::map<std::string, std::uint32_t> offsetOf;
  for (const ParsedRecord& r : before.records) {
    offsetOf[r.fileName.substr(tree.size() + 1)] = r.offset;
  }
  std::vector<std::byte> image = AsBytes(ReadFile(database));
  const std::size_t contentTable = 13 + 4 * std::size_t{before.pathCount};
  Store32(image, contentTable, offsetOf["a"]);
  Store32(image, contentTable + 4, offsetOf["m"]);
  Store32(image, contentTable + 8, offsetOf["b"]);
  WriteFile(database, AsText(image));
  EXPECT_NE(RunProgram(VOSTREL_PATH, {database}).out.find("3 entries - 0 dupe(s)"), std::string::npos)
      << "misplaced, the two copies are no neighbours";

  const KrelbyRun rerun = RunKrelby({"-q", tree}, options);
  EXPECT_EQ(rerun.result.status, 0);
  EXPECT_EQ(rerun.bytes, 0u) << "nothing changed on disk";
  const ParsedDatabase after = ParseDatabase(ReadFile(database));
  ASSERT_TRUE(after.ok);
  std::map<std::uint32_t, const ParsedRecord*> byOffset;
  for (const ParsedRecord& r : after.records) {
    byOffset[r.offset] = &r;
  }
  std::vector<std::string> order;
  std::vector<std::uint32_t> keys;
  for (std::uint32_t offset : after.contentTable) {
    order.push_back(byOffset.at(offset)->fileName.substr(tree.size() + 1));
    keys.push_back(byOffset.at(offset)->crc32);
  }
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  const auto a = std::find(order.begin(), order.end(), "a");
  ASSERT_NE(a + 1, order.end());
  EXPECT_EQ(*(a + 1), "b") << "a first, as stored, and b right after it";

  EXPECT_NE(RunProgram(VOSTREL_PATH, {database}).out.find("3 entries - 1 dupe(s)"), std::string::npos);
  const KrelbyRun purge = RunKrelby({"-r"}, options);
  EXPECT_EQ(purge.messages,
            std::vector<std::string>{"'" + tree + "/b' IS a DUPE with '" + tree + "/a' - DELETED"});
  EXPECT_TRUE(Exists(tree + "/a"));
  EXPECT_FALSE(Exists(tree + "/b"));
}

}  // namespace
