// Load and save of the database file, in this process: exact bytes, and damaged images.

#include "scanner/load_save.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
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
    tryLoad(flipped);
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
