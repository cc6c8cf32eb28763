#pragma once

// The database file: one image, read whole and written whole.
//
//   offset             width            field
//        0                 4            Magic: "QD", 00, 00
//        4                 1            Version: 1
//        5                 4            PathCount
//        9                 4            ContentCount
//       13     4 * PathCount            PathTable: record offsets in PathList order (ascending PathCRC)
//        .  4 * ContentCount            ContentTable: record offsets in ContentList order (by CRC32)
//        .                 .            the records, back to back in PathTable order
//
// Every ContentTable value is also a PathTable value: a record is stored once and may be listed
// in both orders. All integers little-endian; offsets count from the start of the file.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "store/large_bytes.h"

inline constexpr std::size_t kDatabaseHeaderSize = 13;
inline constexpr std::uint8_t kDatabaseVersion = 1;
inline constexpr std::uint32_t kDatabaseMagic = 0x00004451u;  // "QD", 00, 00 read little-endian
inline constexpr std::size_t kPathCountOffset = 5;
inline constexpr std::size_t kContentCountOffset = 9;

// A database image as read from disk, or why there is none.
enum class ImageRead {
  kRead,        // the whole file is in the image
  kMissing,     // no file of that name
  kEmpty,       // a file of size 0
  kUnreadable,  // it exists, but cannot be opened, measured, held in memory or read whole
};
struct FileImage {
  ImageRead status = ImageRead::kMissing;
  LargeBytes bytes;  // zero-filled, then the whole file
  std::size_t size = 0;
  std::span<std::byte> Bytes() const { return {bytes.get(), size}; }
};
// Reads the whole file with one read into one zero-filled buffer.
FileImage ReadFileImage(const char* name);

// "QD", 00, 00 and version 1 at the start of at least a header's worth of bytes.
bool HasDatabaseHeader(std::span<const std::byte> image);

struct DatabaseLayout {
  std::uint32_t pathCount = 0;
  std::uint32_t contentCount = 0;
  std::uint32_t PathOffset(std::span<const std::byte> image, std::uint32_t i) const;
  std::uint32_t ContentOffset(std::span<const std::byte> image, std::uint32_t j) const;
};

// The reading contract both programs rely on: a header, both tables inside the image, and for
// every table entry a whole record header inside the image and a FileName with its NUL inside it.
// nullopt otherwise; nothing outside the image is ever read.
std::optional<DatabaseLayout> CheckReadable(std::span<const std::byte> image);

// What the scanner needs before it uses records in place and writes them back: readable, and
// laid out as a save writes it: records back to back in PathTable order from the end of the
// tables to the end of the file, in ascending PathCRC, each FileName a path whose one NUL is the
// last of its NameLength bytes, record sizes within 16 bits, and every ContentTable value a
// distinct PathTable value. One pass over each table; its working memory is one byte per 53 bytes
// of records.
std::optional<DatabaseLayout> CheckConsistent(std::span<const std::byte> image);
