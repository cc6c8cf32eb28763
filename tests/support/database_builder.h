#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Database images built by hand, laid out as a save writes them: the header, PathTable,
// ContentTable, then the records back to back in path order, each RecordOffset its own offset and
// each NameLength the path's length with its NUL. Fields are written byte by byte, independently
// of the code under test.
struct TestRecord {
  std::uint32_t crc32 = 0;
  std::array<std::uint8_t, 16> digest{};  // in its usual order; the record keeps it reversed
  std::uint32_t pathCRC = 0;
  std::uint16_t exdid = 0;
  std::uint32_t size = 0;
  std::int64_t creationTime = 0;
  std::int64_t lastWrite = 0;
  std::string fileName;  // without NUL
};

// `records` in PathTable order; `contentOrder` indexes them in ContentTable order (repeats and
// omissions allowed, for images no save would write).
std::vector<std::byte> BuildDatabase(const std::vector<TestRecord>& records,
                                     const std::vector<std::size_t>& contentOrder);

// The same with every record in the ContentTable, in path order.
std::vector<std::byte> BuildDatabase(const std::vector<TestRecord>& records);

// A digest from its 32 hex digits, as md5sum prints it.
std::array<std::uint8_t, 16> DigestFromHex(std::string_view hex);

// Reading and patching images in tests: little-endian 32-bit values at a byte offset.
std::uint32_t Load32(const std::vector<std::byte>& image, std::size_t at);
void Store32(std::vector<std::byte>& image, std::size_t at, std::uint32_t value);
