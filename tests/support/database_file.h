#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A database file taken apart by the test itself, field by field, without the product's readers.
struct ParsedRecord {
  std::uint32_t offset = 0;  // where the record starts in the file
  std::uint32_t recordOffset = 0;
  std::uint32_t crc32 = 0;
  std::string md5Hex;  // the digest's usual lower-case text (the field holds it reversed)
  std::uint32_t pathCRC = 0;
  std::uint16_t exdid = 0;
  std::uint32_t size = 0;
  std::int64_t creationTime = 0;
  std::int64_t lastWrite = 0;
  std::uint16_t nameLength = 0;
  std::string fileName;
};
struct ParsedDatabase {
  bool ok = false;  // the whole file parsed, with every offset inside it
  std::uint32_t pathCount = 0;
  std::uint32_t contentCount = 0;
  std::vector<std::uint32_t> pathTable;
  std::vector<std::uint32_t> contentTable;
  std::vector<ParsedRecord> records;  // in file order
  std::size_t fileSize = 0;
};
ParsedDatabase ParseDatabase(const std::string& bytes);
