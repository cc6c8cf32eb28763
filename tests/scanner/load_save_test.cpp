// Load and save of the database file, in this process: exact bytes, and damaged images.

#include "scanner/load_save.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "scanner/walk.h"
#include "store/byte_order.h"
#include "store/database_format.h"
#include "tests/scanner/run_state_fixture.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/database_builder.h"

namespace {

std::vector<std::byte> Bytes(const std::string& text) {
  std::vector<std::byte> bytes(text.size());
  std::transform(text.begin(), text.end(), bytes.begin(), [](char c) { return static_cast<std::byte>(c); });
  return bytes;
}

class LoadSaveTest : public RunStateTest {
 protected:
  // Scans a small tree with equal, empty and distinct files, and saves it; returns the file's bytes.
  std::string ScanAndSave() {
    WriteFile(tree / "a", "equal");
    WriteFile(tree / "sub/b", "equal");
    WriteFile(tree / "sub/empty", "");
    WriteFile(tree / "c", "distinct content");
    EXPECT_EQ(chdir(tree.Path().c_str()), 0);
    {
      CaptureStdout quiet;
      ScanDirectory();
    }
    EXPECT_TRUE(SaveDatabase(database.c_str()));
    return ReadFile(database);
  }
  void Reset() {
    RunStateTest::SetUp();
  }
  ScopedTempDir home;
  std::string database = home / "k.dat";
};

TEST_F(LoadSaveTest, SaveLoadSaveGivesTheSameBytes) {
  const std::string first = ScanAndSave();
  Reset();
  ASSERT_EQ(LoadDatabase(database.c_str()), LoadResult::kLoaded);
  EXPECT_EQ(PathList.count, 4u);
  EXPECT_EQ(ContentList.count, 4u);
  const std::string second = home / "again.dat";
  ASSERT_TRUE(SaveDatabase(second.c_str()));
  EXPECT_EQ(ReadFile(second), first);
}

TEST_F(LoadSaveTest, RecordOffsetIsWrittenAfreshAtEverySave) {
  std::string bytes = ScanAndSave();
  const std::uint32_t firstRecord = 13 + 4 * (4 + 4);
  std::vector<std::byte> patched = Bytes(bytes);
  StoreLE<std::uint32_t>(patched.data() + firstRecord, 500);  // readers do not rely on it
  Reset();
  ASSERT_TRUE(LoadDatabaseImage(patched.data(), patched.size()));
  EXPECT_EQ(Get(PathList.first->entry, Field::RecordOffset), 500u);
  ASSERT_TRUE(SaveDatabase(database.c_str()));
  EXPECT_EQ(Get(PathList.first->entry, Field::RecordOffset), firstRecord);
  EXPECT_EQ(ReadFile(database), bytes);
}

TEST_F(LoadSaveTest, LoadedIndexesFindEveryEntry) {
  ScanAndSave();
  Reset();
  ASSERT_EQ(LoadDatabase(database.c_str()), LoadResult::kLoaded);
  EXPECT_EQ(PathIndex.slots[0], PathList.first);
  EXPECT_EQ(ContentIndex.slots[0], ContentList.first);
  TotalBytes = 0;
  CaptureStdout out;
  ScanDirectory();  // every file is found by its path: nothing is read or added
  EXPECT_EQ(out.Text(), "");
  EXPECT_EQ(TotalBytes, 0u);
  EXPECT_EQ(PathList.count, 4u);
}

// A save writes the same bytes whether the records lie back to back in a loaded image (a few
// large pieces) or each on its own (many small ones), in files of a few megabytes: pieces large
// and small, written as they are or gathered first.
TEST_F(LoadSaveTest, ASaveWritesTheSameBytesHoweverTheRecordsLieInMemory) {
  enum class Layout { kInTheImage, kEachOnItsOwn, kEveryOtherOnItsOwn };
  struct Case {
    std::uint32_t count;  // 20000 records: 2.4 MB, 50000: 6 MB
    Layout layout;
  };
  const Case cases[] = {
      {20000, Layout::kInTheImage}, {20000, Layout::kEachOnItsOwn}, {20000, Layout::kEveryOtherOnItsOwn},
      {50000, Layout::kInTheImage}, {50000, Layout::kEachOnItsOwn}, {50000, Layout::kEveryOtherOnItsOwn},
  };
  for (const auto& [count, layout] : cases) {
    SCOPED_TRACE(testing::Message() << count << " records, layout " << static_cast<int>(layout));
    std::vector<TestRecord> records;
    for (std::uint32_t i = 0; i < count; ++i) {
      TestRecord r;
      r.crc32 = i;
      r.pathCRC = i * 80000u + 1;
      r.size = i;
      r.fileName = "/a/path/long/enough/to/make/a/record/of/a/hundred/bytes/" + std::to_string(i);
      records.push_back(r);
    }
    const std::vector<std::byte> image = BuildDatabase(records);
    Reset();
    std::vector<std::byte> loaded = image;
    ASSERT_TRUE(LoadDatabaseImage(loaded.data(), loaded.size()));
    std::deque<std::vector<std::byte>> copies;
    std::size_t i = 0;
    // The content order is the path order here, so both lists are walked side by side.
    for (EntryNode *p = PathList.first, *c = ContentList.first; p != nullptr; p = p->next, c = c->next, ++i) {
      if (layout == Layout::kEachOnItsOwn || (layout == Layout::kEveryOtherOnItsOwn && i % 2 == 1)) {
        const std::byte* bytes = p->entry.Bytes;
        std::vector<std::byte>& copy = copies.emplace_back(bytes, bytes + RecordSize(Get(p->entry, Field::NameLength)));
        p->entry.Bytes = copy.data();
        c->entry.Bytes = copy.data();
      }
    }
    ASSERT_TRUE(SaveDatabase(database.c_str()));
    const std::string saved = ReadFile(database);
    ASSERT_EQ(saved.size(), image.size());
    EXPECT_TRUE(std::equal(saved.begin(), saved.end(), image.begin(),
                           [](char a, std::byte b) { return static_cast<std::byte>(a) == b; }));
  }
}

TEST_F(LoadSaveTest, RemovedEntriesAreDroppedAndEmptyListsWriteOnlyTheHeader) {
  ScanAndSave();
  for (EntryNode* n = PathList.first; n != nullptr; n = n->next) {
    Set(n->entry, Field::NameLength, 0);
  }
  ASSERT_TRUE(SaveDatabase(database.c_str()));
  EXPECT_EQ(ReadFile(database), std::string("QD\0\0\1\0\0\0\0\0\0\0\0", 13));
  EXPECT_EQ(PathList.count, 0u);

  Reset();
  const std::string untouched = home / "untouched.dat";
  WriteFile(untouched, "whatever was here");
  EXPECT_TRUE(SaveDatabase(untouched.c_str()));  // nothing to save: not even opened
  EXPECT_EQ(ReadFile(untouched), "whatever was here");
}

TEST_F(LoadSaveTest, WithoutContentEntriesTheRecordsFollowThePathTable) {
  WriteFile(tree / "f", "x");
  AddKnown(tree / "f", ChecksumsOf("x"), 1);
  ClearList(ContentList);
  ASSERT_TRUE(SaveDatabase(database.c_str()));
  const std::string bytes = ReadFile(database);
  const std::vector<std::byte> image = Bytes(bytes);
  EXPECT_EQ(LoadLE<std::uint32_t>(image.data() + 9), 0u);
  EXPECT_EQ(LoadLE<std::uint32_t>(image.data() + 13), 17u);  // 13 + 4 x PathCount
  EXPECT_EQ(bytes.size(), 17u + 52u + (tree / "f").size() + 1u);
}

// Every slot true: slot 0 the head, slot b the first node of bucket b (null for an empty bucket).
void ExpectIndexTrue(const EntryList& list, const BucketIndex& index, std::uint32_t (*keyOf)(Entry)) {
  std::vector<const EntryNode*> first(kBucketCount, nullptr);
  for (const EntryNode* n = list.first; n != nullptr; n = n->next) {
    const std::uint32_t bucket = BucketOf(keyOf(n->entry));
    if (first[bucket] == nullptr) {
      first[bucket] = n;
    }
  }
  first[0] = list.first;
  for (std::size_t b = 0; b < kBucketCount; ++b) {
    ASSERT_EQ(index.slots[b], first[b]) << "slot " << b;
  }
}

// A content order out of CRC32 order comes back sorted, equal keys in their stored order. Enough
// records with few keys, stored in reverse, that an unstable sort would mix up equal keys.
TEST_F(LoadSaveTest, AMisplacedContentOrderIsHealedAtLoad) {
  const std::uint32_t keys[] = {0x00020005u, 0u, 0xFFFF0001u, 0x00020001u, 0x00020005u, 0x00010000u};
  std::vector<TestRecord> records;
  std::vector<std::size_t> contentOrder;
  for (std::size_t i = 0; i < 60; ++i) {
    TestRecord r;
    r.crc32 = keys[i % std::size(keys)];
    r.pathCRC = static_cast<std::uint32_t>(i * 0x00430000u + 7);
    r.fileName = "/stored/" + std::to_string(i);
    records.push_back(r);
    contentOrder.insert(contentOrder.begin(), i);
  }
  std::vector<std::byte> image = BuildDatabase(records, contentOrder);
  ASSERT_TRUE(LoadDatabaseImage(image.data(), image.size()));
  ASSERT_EQ(ContentList.count, records.size());
  std::size_t previousStored = 0;
  std::uint32_t previousKey = 0;
  for (const EntryNode* n = ContentList.first; n != nullptr; n = n->next) {
    const std::uint32_t key = ContentKey(n->entry);
    // Stored in reverse: among equal keys, the record stored first has the larger number.
    const std::size_t stored = records.size() - 1 - std::stoul(FileNameOf(n->entry) + 8);
    ASSERT_GE(key, previousKey);
    if (n != ContentList.first && key == previousKey) {
      EXPECT_GT(stored, previousStored) << FileNameOf(n->entry);
    }
    previousKey = key;
    previousStored = stored;
  }
  ExpectIndexTrue(ContentList, ContentIndex, ContentKey);
  ExpectIndexTrue(PathList, PathIndex, PathKey);
}

// Each rule the load enforces, broken alone in an image that is sound otherwise. The cases of
// reads outside the image (a NameLength 0 at the very end, an offset into the tables) fail
// under AddressSanitizer when their rule is missing.
TEST_F(LoadSaveTest, EachRuleOfTheLoadRefusesAnImageThatBreaksOnlyIt) {
  std::vector<TestRecord> records(3);
  for (std::size_t i = 0; i < records.size(); ++i) {
    records[i].pathCRC = 0x10000000u * static_cast<std::uint32_t>(i + 1);
    records[i].crc32 = static_cast<std::uint32_t>(i + 1);
    records[i].fileName = "/tree/file" + std::to_string(i);
  }
  const std::vector<std::byte> good = BuildDatabase(records);
  const std::size_t pathTable = 13;
  const std::size_t contentTable = 13 + 4 * 3;
  const std::uint32_t first = Load32(good, pathTable);
  const std::uint32_t second = Load32(good, pathTable + 4);
  struct Case {
    const char* why;
    std::vector<std::byte> image;
  };
  std::vector<Case> cases;
  auto patched = [](std::vector<std::byte> image, std::size_t at, std::uint32_t value) {
    Store32(image, at, value);
    return image;
  };
  cases.push_back({"PathCRC descending", patched(good, second + 24, records[0].pathCRC - 1)});
  std::vector<std::byte> trailing = good;
  trailing.push_back(std::byte{0});
  cases.push_back({"a byte after the last record", trailing});
  // Record 1 is no longer listed in content order, so only the PathTable itself shows the repeat.
  std::vector<std::byte> repeated = BuildDatabase(records, {0, 2});
  Store32(repeated, pathTable + 4, Load32(repeated, pathTable));
  cases.push_back({"a PathTable value repeated", repeated});
  cases.push_back({"a content offset inside the tables", patched(good, contentTable, 13)});
  cases.push_back({"a content offset inside a record", patched(good, contentTable, first + 53)});
  cases.push_back({"a content offset listed twice", patched(good, contentTable + 4, first)});
  cases.push_back({"more content offsets than records", BuildDatabase(records, {0, 1, 2, 0})});
  // The last record without a name at all: 52 bytes and NameLength 0, the file ending there.
  std::vector<TestRecord> nameless = records;
  nameless[2].fileName = "";
  std::vector<std::byte> zero = BuildDatabase(nameless);
  zero.pop_back();
  zero[Load32(zero, pathTable + 8) + 50] = std::byte{0};
  cases.push_back({"NameLength 0 on the last record", zero});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    Reset();
    std::unique_ptr<std::byte[]> copy(new std::byte[c.image.size()]);  // exact size: ASan sees every overrun
    std::copy(c.image.begin(), c.image.end(), copy.get());
    EXPECT_FALSE(LoadDatabaseImage(copy.get(), c.image.size()));
    EXPECT_EQ(PathList.count, 0u);
  }
  std::vector<std::byte> copy = good;
  Reset();
  EXPECT_TRUE(LoadDatabaseImage(copy.data(), copy.size()));
}

TEST_F(LoadSaveTest, WhatIsNoDatabaseAndWhatIsADamagedOne) {
  struct Case {
    const char* why;
    std::string name;
    std::string content;  // written unless the case is about a missing file
    LoadResult result;
  };
  const std::string header = std::string("QD\0\0\1\0\0\0\0\0\0\0\0", 13);
  const Case cases[] = {
      {"missing", home / "missing.dat", "", LoadResult::kNone},
      {"empty", home / "empty.dat", "", LoadResult::kNone},
      {"13-byte empty database", home / "header.dat", header, LoadResult::kLoaded},
      {"version 2", home / "v2.dat", std::string("QD\0\0\2\0\0\0\0\0\0\0\0", 13), LoadResult::kInvalid},
      {"third byte not zero", home / "b2.dat", std::string("QD\1\0\1\0\0\0\0\0\0\0\0", 13), LoadResult::kInvalid},
      {"shorter than a header", home / "short.dat", std::string("QD\0\0\1", 5), LoadResult::kInvalid},
      {"foreign file", home / "text.dat", "hello, world\n", LoadResult::kInvalid},
      {"a directory", home / "dir.dat", "", LoadResult::kInvalid},
  };
  MakeDirs(home / "dir.dat");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    Reset();
    if (c.name != home / "missing.dat" && c.name != home / "dir.dat") {
      WriteFile(c.name, c.content);
    }
    EXPECT_EQ(LoadDatabase(c.name.c_str()), c.result);
    EXPECT_EQ(PathList.count, 0u);
    EXPECT_EQ(PathIndex.slots[0], nullptr);
    EXPECT_EQ(ContentIndex.slots[0], nullptr);
  }
}

// Whether the load takes `flipped`, which differs from the saved image `good` (every record in
// both tables) in the one byte at `at`. Header, counts and table values: never, since every
// table value is pinned by its neighbours. In a record: the fields the load does not judge
// always; NameLength never; PathCRC while it stays between its neighbours' keys; the name while
// it stays a path with its one NUL at the end.
bool LoadsAfterFlip(const std::vector<std::byte>& good, const std::vector<std::byte>& flipped, std::size_t at) {
  const std::uint32_t count = Load32(good, 5);
  const std::size_t tablesEnd = 13 + 8 * std::size_t{count};
  if (at < tablesEnd) {
    return false;
  }
  std::size_t record = 0;  // the record holding `at`, found by its PathTable entry
  while (record + 1 < count && Load32(good, 13 + 4 * (record + 1)) <= at) {
    ++record;
  }
  const std::size_t start = Load32(good, 13 + 4 * record);
  const std::size_t field = at - start;
  const std::size_t nameLength = std::to_integer<std::size_t>(good[start + 50]) |
                                 std::to_integer<std::size_t>(good[start + 51]) << 8;
  if (field >= 24 && field < 28) {
    const std::uint32_t key = Load32(flipped, start + 24);
    const bool afterPrevious = record == 0 || Load32(good, Load32(good, 13 + 4 * (record - 1)) + 24) <= key;
    const bool beforeNext = record + 1 == count || key <= Load32(good, Load32(good, 13 + 4 * (record + 1)) + 24);
    return afterPrevious && beforeNext;
  }
  if (field == 50 || field == 51) {
    return false;
  }
  if (field >= 52) {
    return field - 52 != nameLength - 1 && flipped[at] != std::byte{0};
  }
  return true;  // RecordOffset, CRC32, MD5, EXDID, SIZE and the times
}

// Every prefix, every single-bit flip, and hand-made damage: the loader either refuses the image
// or takes in records that lie wholly inside it (AddressSanitizer checks each byte touched).
TEST_F(LoadSaveTest, DamagedImagesAreRefusedOrSafe) {
  const std::vector<std::byte> good = Bytes(ScanAndSave());
  auto tryLoad = [this](std::vector<std::byte> image) {
    Reset();
    // An exact-size heap copy, so that any read past the end is caught.
    std::unique_ptr<std::byte[]> copy(new std::byte[image.size()]);
    std::copy(image.begin(), image.end(), copy.get());
    const bool loaded = LoadDatabaseImage(copy.get(), image.size());
    if (loaded) {
      for (const EntryNode* n = PathList.first; n != nullptr; n = n->next) {
        const std::size_t length = std::strlen(FileNameOf(n->entry));
        EXPECT_EQ(length + 1, Get(n->entry, Field::NameLength));
      }
      for (const EntryNode* n = ContentList.first; n != nullptr; n = n->next) {
        (void)Get(n->entry, Field::CRC32);
      }
    }
    return loaded;
  };
  for (std::size_t length = 0; length < good.size(); ++length) {
    EXPECT_FALSE(tryLoad(std::vector<std::byte>(good.begin(), good.begin() + static_cast<long>(length))))
        << "prefix " << length;
  }
  for (std::size_t bit = 0; bit < 8 * good.size(); ++bit) {
    std::vector<std::byte> flipped = good;
    flipped[bit / 8] ^= static_cast<std::byte>(1u << (bit % 8));
    EXPECT_EQ(tryLoad(flipped), LoadsAfterFlip(good, flipped, bit / 8)) << "bit " << bit;
  }
  struct Damage {
    const char* why;
    std::size_t at;
    std::uint32_t value;
    int width;
  };
  const std::uint32_t firstRecord = 13 + 4 * 8;
  const Damage damages[] = {
      {"PathCount past the end", 5, 0x40000000u, 4},
      {"ContentCount past the end", 9, 0xFFFFFFFFu, 4},
      {"record offset past the end", 13, 0xFFFFFFF0u, 4},
      {"content offset past the end", 13 + 16, 0x7FFFFFFFu, 4},
      {"content offset inside a record", 13 + 16, firstRecord + 1, 4},
      {"huge NameLength", firstRecord + 50, 0xFFFF, 2},
      {"NameLength 0", firstRecord + 50, 0, 2},
      {"FileName without its NUL", firstRecord + 52 + 4, 0x41, 1},
      {"a NUL inside the path", firstRecord + 52 + 3, 0, 1},
      {"a record listed twice in content order", 13 + 16 + 4, LoadLE<std::uint32_t>(good.data() + 13 + 16), 4},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.why);
    std::vector<std::byte> image = good;
    for (int i = 0; i < d.width; ++i) {
      image[d.at + static_cast<std::size_t>(i)] = static_cast<std::byte>(d.value >> (8 * i));
    }
    if (std::string(d.why) == "FileName without its NUL") {
      const std::uint16_t nameLength = LoadLE<std::uint16_t>(image.data() + firstRecord + 50);
      image[firstRecord + 52 + nameLength - 1] = std::byte{'x'};
    }
    EXPECT_FALSE(tryLoad(image));
  }
  EXPECT_TRUE(tryLoad(good));
}

}  // namespace
