#include "tests/support/database_file.h"

#include <cstdio>

namespace {

std::uint64_t Le(const std::string& b, std::size_t at, int width) {
  std::uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) {
    v = (v << 8) | static_cast<unsigned char>(b[at + static_cast<std::size_t>(i)]);
  }
  return v;
}

}  // namespace

ParsedDatabase ParseDatabase(const std::string& b) {
  ParsedDatabase db;
  db.fileSize = b.size();
  if (b.size() < 13 || b.compare(0, 5, std::string("QD\0\0\1", 5)) != 0) {
    return db;
  }
  db.pathCount = static_cast<std::uint32_t>(Le(b, 5, 4));
  db.contentCount = static_cast<std::uint32_t>(Le(b, 9, 4));
  std::size_t at = 13;
  if (at + 4 * (std::uint64_t{db.pathCount} + db.contentCount) > b.size()) {
    return db;
  }
  for (std::uint32_t i = 0; i < db.pathCount; ++i, at += 4) {
    db.pathTable.push_back(static_cast<std::uint32_t>(Le(b, at, 4)));
  }
  for (std::uint32_t i = 0; i < db.contentCount; ++i, at += 4) {
    db.contentTable.push_back(static_cast<std::uint32_t>(Le(b, at, 4)));
  }
  while (at < b.size()) {
    if (at + 52 > b.size()) {
      return db;
    }
    ParsedRecord r;
    r.offset = static_cast<std::uint32_t>(at);
    r.recordOffset = static_cast<std::uint32_t>(Le(b, at, 4));
    r.crc32 = static_cast<std::uint32_t>(Le(b, at + 4, 4));
    for (int j = 15; j >= 0; --j) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(b[at + 8 + static_cast<std::size_t>(j)]));
      r.md5Hex += hex;
    }
    r.pathCRC = static_cast<std::uint32_t>(Le(b, at + 24, 4));
    r.exdid = static_cast<std::uint16_t>(Le(b, at + 28, 2));
    r.size = static_cast<std::uint32_t>(Le(b, at + 30, 4));
    r.creationTime = static_cast<std::int64_t>(Le(b, at + 34, 8));
    r.lastWrite = static_cast<std::int64_t>(Le(b, at + 42, 8));
    r.nameLength = static_cast<std::uint16_t>(Le(b, at + 50, 2));
    if (r.nameLength == 0 || at + 52 + r.nameLength > b.size() || b[at + 52 + r.nameLength - 1] != '\0') {
      return db;
    }
    r.fileName = b.substr(at + 52, r.nameLength - 1u);
    db.records.push_back(r);
    at += 52u + r.nameLength;
  }
  db.ok = true;
  return db;
}
