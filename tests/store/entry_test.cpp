#include "store/entry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>


namespace {

std::vector<std::byte> Record(std::size_t nameLength) { return std::vector<std::byte>(kEntryHeaderSize + nameLength); }

unsigned Byte(const std::vector<std::byte>& r, std::size_t at) { return std::to_integer<unsigned>(r[at]); }

// A hand-checked image: every field at its own offset, little-endian, and no field spills.
TEST(EntryRecord, FieldsLieAtTheirOffsets) {
  std::vector<std::byte> bytes = Record(4);
  const Entry e{bytes.data()};
  Set(e, Field::RecordOffset, 0x04030201u);
  Set(e, Field::CRC32, 0x08070605u);
  Set(e, Field::PathCRC, 0x1C1B1A19u);
  Set(e, Field::EXDID, static_cast<std::uint16_t>(0x1E1D));
  Set(e, Field::SIZE, 0x2221201Fu);
  Set(e, Field::CreationTime, std::int64_t{0x2A29282726252423});
  Set(e, Field::LastWrite, std::int64_t{0x3231302F2E2D2C2B});
  Set(e, Field::NameLength, static_cast<std::uint16_t>(0x3433));
  for (std::size_t at : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u}) {
    EXPECT_EQ(Byte(bytes, at), at + 1) << at;
  }
  for (std::size_t at = 8; at < 24; ++at) {
    EXPECT_EQ(Byte(bytes, at), 0u) << "MD5 untouched at " << at;
  }
  for (std::size_t at = 24; at < 52; ++at) {
    EXPECT_EQ(Byte(bytes, at), at + 1) << at;
  }
  EXPECT_EQ(Get(e, Field::SIZE), 0x2221201Fu);
  EXPECT_EQ(Get(e, Field::LastWrite), std::int64_t{0x3231302F2E2D2C2B});
}

TEST(EntryRecord, DigestIsStoredReversed) {
  std::vector<std::byte> bytes = Record(1);
  const Entry e{bytes.data()};
  Set(e, Field::CRC32, 0xFFFFFFFFu);
  Set(e, Field::PathCRC, 0xFFFFFFFFu);
  std::uint8_t digest[16];
  for (int i = 0; i < 16; ++i) {
    digest[i] = static_cast<std::uint8_t>(i);
  }
  StoreDigest(e, digest);
  for (std::size_t j = 0; j < 16; ++j) {
    EXPECT_EQ(Byte(bytes, 8 + j), 15 - j);
  }
  // Read back as four words at 20, 16, 12, 8 they give the digest's usual text.
  EXPECT_EQ(LoadLE<std::uint32_t>(bytes.data() + 20), 0x00010203u);
  EXPECT_EQ(LoadLE<std::uint32_t>(bytes.data() + 8), 0x0C0D0E0Fu);
  EXPECT_EQ(Get(e, Field::CRC32), 0xFFFFFFFFu);
  EXPECT_EQ(Get(e, Field::PathCRC), 0xFFFFFFFFu);
}

TEST(EntryRecord, NewEntryHoldsPathStatusAndNoChecksums) {
  const char path[] = "/tmp/abc";
  const auto nameLength = static_cast<std::uint16_t>(sizeof path);
  std::vector<std::byte> bytes = Record(nameLength);
  const Entry e{bytes.data()};
  const std::uint32_t pathCRC = 0xA1B2C3D4u;
  FillNewEntry(e, path, nameLength, pathCRC, FileStatus{(std::uint64_t{4} << 32) + 10, -86400, 1700000000});
  EXPECT_EQ(Get(e, Field::RecordOffset), 0u);
  EXPECT_EQ(Get(e, Field::CRC32), 0u);
  for (std::byte b : MD5Of(e)) {
    EXPECT_EQ(std::to_integer<int>(b), 0);
  }
  EXPECT_EQ(Get(e, Field::PathCRC), pathCRC);
  EXPECT_EQ(Get(e, Field::EXDID), 0u);
  EXPECT_EQ(Get(e, Field::SIZE), 10u);                      // 4 GiB + 10 bytes: the low 32 bits
  EXPECT_EQ(Get(e, Field::CreationTime), std::int64_t{-86400});  // before 1970: negative
  EXPECT_EQ(Get(e, Field::LastWrite), std::int64_t{1700000000});
  EXPECT_EQ(Get(e, Field::NameLength), 9u);
  EXPECT_STREQ(FileNameOf(e), path);
  EXPECT_EQ(bytes.size(), 53u + 8u);  // 53 + n bytes for a path of n characters
  EXPECT_EQ(Byte(bytes, bytes.size() - 1), 0u);
}

}  // namespace
