// The dump of images in memory, through dump_core: duplicate counting, and damaged images that
// must print a whole table or nothing but the zero summary (run under ASan too, so any read
// outside the image fails the test).

#include "dump/dump.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/dump/sample_database.h"
#include "tests/support/database_builder.h"

namespace {

// Every image handed over is its own exactly sized allocation, so ASan sees a read past its end.
std::string Dump(const std::vector<std::byte>& image) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  if (out == nullptr) {
    ADD_FAILURE() << "open_memstream";
    return {};
  }
  PrintDatabase(image, out);
  std::fclose(out);
  std::string result(text, size);
  std::free(text);
  return result;
}

class DumpImage : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};

// A dump is all or nothing: exactly the zero summary, or the header line, one row for each of the
// image's PathCount entries and the summary that counts them. True for a whole table.
bool ExpectWholeTableOrZeroSummary(const std::vector<std::byte>& image, const std::string& text) {
  if (text == kZeroSummary) {
    return false;
  }
  EXPECT_TRUE(text.starts_with(kHeaderLine)) << text;
  static const std::regex row(
      R"([0-9A-F]{8} \| [0-9A-F]{32} \| [ 0-9]{5} \| [ 0-9]{9,10} \| [^|\n]+ \| [^|\n]+ \| [^\n]*)");
  static const std::regex summary(R"(([0-9]+) entries - ([0-9]+) dupe\(s\))");
  std::istringstream lines(text.substr(std::string(kHeaderLine).size()));
  const std::uint32_t pathCount = Load32(image, 5);
  std::string line;
  for (std::uint32_t i = 0; i < pathCount; ++i) {
    EXPECT_TRUE(std::getline(lines, line) && std::regex_match(line, row)) << "row " << i << ": " << text;
  }
  std::smatch match;
  EXPECT_TRUE(std::getline(lines, line) && line.empty()) << text;
  EXPECT_TRUE(std::getline(lines, line) && std::regex_match(line, match, summary)) << text;
  EXPECT_EQ(match.size() > 1 ? match[1].str() : "", std::to_string(pathCount));
  EXPECT_TRUE(text.ends_with(" dupe(s)\n") && lines.peek() == EOF) << text;
  return true;
}

TestRecord WithContent(std::uint32_t crc32, const char* digestHex, int i) {
  TestRecord r;
  r.crc32 = crc32;
  r.digest = DigestFromHex(digestHex);
  r.size = static_cast<std::uint32_t>(100 + i);  // SIZE, times and path differ: they take no part
  r.creationTime = i;
  r.lastWrite = 1000 * i;
  r.fileName = "/files/" + std::to_string(i);
  return r;
}

TEST_F(DumpImage, DupesAreContentTableNeighboursWithEqualCrcAndMd5) {
  constexpr std::uint32_t kCrc = 0x1A2B3C4Du;
  const char* md5 = "0123456789abcdeffedcba9876543210";
  const char* md5LastStoredByte = "ff23456789abcdeffedcba9876543210";  // digest[0] is key byte 19
  const char* md5FirstStoredByte = "0123456789abcdeffedcba98765432ff";
  const char* emptyFile = "d41d8cd98f00b204e9800998ecf8427e";
  struct Content {
    std::uint32_t crc32;
    const char* md5;
  };
  struct Case {
    const char* why;
    std::vector<Content> records;  // path order
    std::vector<std::size_t> contentOrder;
    unsigned dupes;
  };
  const Case cases[] = {
      {"two equal", {{kCrc, md5}, {kCrc, md5}}, {0, 1}, 1},
      {"three equal in a run", {{kCrc, md5}, {kCrc, md5}, {kCrc, md5}}, {0, 1, 2}, 2},
      {"runs of two and three", {{1, md5}, {1, md5}, {2, md5}, {2, md5}, {2, md5}, {3, md5}}, {0, 1, 2, 3, 4, 5}, 3},
      {"a different MD5 between equal ones", {{kCrc, md5}, {kCrc, emptyFile}, {kCrc, md5}}, {0, 1, 2}, 0},
      {"neighbours in content order only", {{kCrc, md5}, {7, md5}, {kCrc, md5}}, {0, 2, 1}, 1},
      {"neighbours in path order only", {{kCrc, md5}, {kCrc, md5}, {7, md5}}, {0, 2, 1}, 0},
      {"CRC32 differs in its first byte", {{kCrc, md5}, {kCrc ^ 1u, md5}}, {0, 1}, 0},
      {"MD5 differs in its first stored byte", {{kCrc, md5}, {kCrc, md5FirstStoredByte}}, {0, 1}, 0},
      {"MD5 differs in its last stored byte", {{kCrc, md5}, {kCrc, md5LastStoredByte}}, {0, 1}, 0},
      {"two empty files (CRC32 0)", {{0, emptyFile}, {0, emptyFile}}, {0, 1}, 1},
      {"ContentCount 0", {{kCrc, md5}, {kCrc, md5}}, {}, 0},
      {"ContentCount 1", {{kCrc, md5}, {kCrc, md5}}, {0}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    std::vector<TestRecord> records;
    for (const Content& content : c.records) {
      records.push_back(WithContent(content.crc32, content.md5, static_cast<int>(records.size())));
    }
    const std::string text = Dump(BuildDatabase(records, c.contentOrder));
    EXPECT_TRUE(text.starts_with(kHeaderLine)) << text;
    const std::string summary =
        "\n" + std::to_string(records.size()) + " entries - " + std::to_string(c.dupes) + " dupe(s)\n";
    EXPECT_TRUE(text.ends_with(summary)) << text;
  }
}

TEST_F(DumpImage, EveryTruncationPrintsTheZeroSummary) {
  const std::vector<std::byte> whole = SampleDatabase();
  EXPECT_EQ(Dump(whole), kSampleDump);
  for (std::size_t length = 0; length < whole.size(); ++length) {
    SCOPED_TRACE(length);
    const std::vector<std::byte> prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_EQ(Dump(prefix), kZeroSummary);
  }
}

TEST_F(DumpImage, FlippedBitsAndBytesPrintAWholeTableOrTheZeroSummary) {
  const std::vector<std::byte> whole = SampleDatabase();
  ASSERT_EQ(AsText(whole).find('\n'), std::string::npos);
  const std::byte flips[] = {std::byte{0x01}, std::byte{0x02}, std::byte{0x04}, std::byte{0x08}, std::byte{0x10},
                             std::byte{0x20}, std::byte{0x40}, std::byte{0x80}, std::byte{0xFF}};
  std::size_t tables = 0;
  std::size_t rejected = 0;
  for (std::size_t at = 0; at < whole.size(); ++at) {
    for (const std::byte flip : flips) {
      std::vector<std::byte> damaged = whole;
      damaged[at] ^= flip;
      if (damaged[at] == std::byte{'\n'}) {
        continue;  // a newline in a path would split its row; the rows are counted by lines
      }
      SCOPED_TRACE("byte " + std::to_string(at) + " ^ " + std::to_string(std::to_integer<int>(flip)));
      const bool table = ExpectWholeTableOrZeroSummary(damaged, Dump(damaged));
      ++(table ? tables : rejected);
    }
  }
  EXPECT_GT(tables, 0u);
  EXPECT_GT(rejected, 0u);
}

TEST_F(DumpImage, CountsAndOffsetsOutsideTheImagePrintTheZeroSummary) {
  const std::vector<std::byte> whole = SampleDatabase();
  const auto size = static_cast<std::uint32_t>(whole.size());
  const std::uint32_t tableSlots = (size - 13) / 4;  // 4-byte slots between the header and the end
  constexpr std::size_t kPathTable = 13;
  constexpr std::size_t kContentTable = 13 + 4 * 3;
  struct Case {
    const char* why;
    std::size_t at;
    std::uint32_t value;
  };
  const Case cases[] = {
      {"PathCount: tables one slot past the end", 5, tableSlots - 3 + 1},
      {"PathCount: largest", 5, 0xFFFFFFFFu},
      {"ContentCount: tables one slot past the end", 9, tableSlots - 3 + 1},
      {"ContentCount: largest", 9, 0xFFFFFFFFu},
      {"PathCount: table size wraps in 32 bits", 5, 0x40000000u - 3},
      {"PathTable offset: the end of the image", kPathTable + 4, size},
      {"PathTable offset: header fits, no byte left for a NUL", kPathTable + 4, size - 52},
      {"PathTable offset: header one byte short", kPathTable + 4, size - 51},
      {"PathTable offset: largest", kPathTable + 4, 0xFFFFFFFFu},
      {"PathTable offset: offset + header wraps in 32 bits", kPathTable + 4, 0xFFFFFFFFu - 51},
      {"ContentTable offset: the end of the image", kContentTable + 8, size},
      {"ContentTable offset: header fits, no byte left for a NUL", kContentTable + 8, size - 52},
      {"ContentTable offset: largest", kContentTable, 0xFFFFFFFFu},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    std::vector<std::byte> damaged = whole;
    Store32(damaged, c.at, c.value);
    EXPECT_EQ(Dump(damaged), kZeroSummary);
  }
  std::vector<std::byte> noNul = whole;
  noNul.back() = std::byte{'x'};  // the last record's path runs to the end of the image
  EXPECT_EQ(Dump(noNul), kZeroSummary);
}

}  // namespace
