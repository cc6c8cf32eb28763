#include "tests/support/database_builder.h"

#include <cstdlib>

namespace {

constexpr std::size_t kHeaderSize = 13;
constexpr std::size_t kRecordHeaderSize = 52;

template <typename T>
void Put(std::vector<std::byte>& image, std::size_t at, T value) {
  const auto bits = static_cast<std::uint64_t>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    image[at + i] = static_cast<std::byte>(bits >> (8 * i));
  }
}

void PutRecord(std::vector<std::byte>& image, std::size_t at, const TestRecord& r) {
  Put(image, at + 0, static_cast<std::uint32_t>(at));
  Put(image, at + 4, r.crc32);
  for (std::size_t j = 0; j < 16; ++j) {
    image[at + 8 + j] = static_cast<std::byte>(r.digest[15 - j]);
  }
  Put(image, at + 24, r.pathCRC);
  Put(image, at + 28, r.exdid);
  Put(image, at + 30, r.size);
  Put(image, at + 34, r.creationTime);
  Put(image, at + 42, r.lastWrite);
  Put(image, at + 50, static_cast<std::uint16_t>(r.fileName.size() + 1));
  for (std::size_t i = 0; i < r.fileName.size(); ++i) {
    image[at + kRecordHeaderSize + i] = static_cast<std::byte>(r.fileName[i]);
  }
  image[at + kRecordHeaderSize + r.fileName.size()] = std::byte{0};
}

}  // namespace

std::vector<std::byte> BuildDatabase(const std::vector<TestRecord>& records,
                                     const std::vector<std::size_t>& contentOrder) {
  const std::size_t tablesEnd = kHeaderSize + 4 * (records.size() + contentOrder.size());
  std::vector<std::size_t> offsets;
  std::size_t size = tablesEnd;
  for (const TestRecord& r : records) {
    offsets.push_back(size);
    size += kRecordHeaderSize + r.fileName.size() + 1;
  }
  std::vector<std::byte> image(size);
  const char magic[] = {'Q', 'D', 0, 0, 1};
  for (std::size_t i = 0; i < sizeof magic; ++i) {
    image[i] = static_cast<std::byte>(magic[i]);
  }
  Put(image, 5, static_cast<std::uint32_t>(records.size()));
  Put(image, 9, static_cast<std::uint32_t>(contentOrder.size()));
  for (std::size_t i = 0; i < records.size(); ++i) {
    Put(image, kHeaderSize + 4 * i, static_cast<std::uint32_t>(offsets[i]));
    PutRecord(image, offsets[i], records[i]);
  }
  for (std::size_t k = 0; k < contentOrder.size(); ++k) {
    Put(image, kHeaderSize + 4 * (records.size() + k), static_cast<std::uint32_t>(offsets.at(contentOrder[k])));
  }
  return image;
}

std::vector<std::byte> BuildDatabase(const std::vector<TestRecord>& records) {
  std::vector<std::size_t> all;
  for (std::size_t i = 0; i < records.size(); ++i) {
    all.push_back(i);
  }
  return BuildDatabase(records, all);
}

std::array<std::uint8_t, 16> DigestFromHex(std::string_view hex) {
  std::array<std::uint8_t, 16> digest{};
  for (std::size_t i = 0; i < digest.size() && 2 * i + 1 < hex.size(); ++i) {
    const std::string pair(hex.substr(2 * i, 2));
    digest[i] = static_cast<std::uint8_t>(std::strtoul(pair.c_str(), nullptr, 16));
  }
  return digest;
}

std::uint32_t Load32(const std::vector<std::byte>& image, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value |= std::to_integer<std::uint32_t>(image.at(at + i)) << (8 * i);
  }
  return value;
}

void Store32(std::vector<std::byte>& image, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) {
    image.at(at + i) = static_cast<std::byte>(value >> (8 * i));
  }
}
