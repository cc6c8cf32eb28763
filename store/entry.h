#pragma once

// The entry record: one regular file the scanner has met. The same bytes are the object in
// memory, the record in the database file and the input of the dump program:
//
//   offset width field         meaning
//        0     4 RecordOffset  offset of this record in the file it was last saved to (0 if new)
//        4     4 CRC32         CRC-32 of the content; 0 = no usable content checksum
//        8    16 MD5           MD5 digest of the content, bytes reversed (field[j] = digest[15-j])
//       24     4 PathCRC       CRC-32 of FileName including its NUL
//       28     2 EXDID         always 0
//       30     4 SIZE          low 32 bits of the file size
//       34     8 CreationTime  st_ctime, seconds, signed
//       42     8 LastWrite     st_mtime, seconds, signed
//       50     2 NameLength    bytes of FileName including the NUL; 0 = removed, dropped at save
//       52     n FileName      absolute path, NUL-terminated
//
// Packed little-endian, no alignment; every field is read and written at its own width.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "store/byte_order.h"

inline constexpr std::size_t kEntryHeaderSize = 52;

template <typename T, std::size_t At>
struct EntryField {
  using Type = T;
  static constexpr std::size_t Offset = At;
};

namespace Field {
inline constexpr EntryField<std::uint32_t, 0> RecordOffset{};
inline constexpr EntryField<std::uint32_t, 4> CRC32{};  // 0: no content checksum known
inline constexpr EntryField<std::uint32_t, 24> PathCRC{};
inline constexpr EntryField<std::uint16_t, 28> EXDID{};
inline constexpr EntryField<std::uint32_t, 30> SIZE{};  // low 32 bits of the file size
inline constexpr EntryField<std::int64_t, 34> CreationTime{};
inline constexpr EntryField<std::int64_t, 42> LastWrite{};
inline constexpr EntryField<std::uint16_t, 50> NameLength{};  // 0: removed, dropped at save
}  // namespace Field

inline constexpr std::size_t kMD5Offset = 8;
inline constexpr std::size_t kMD5Size = 16;
inline constexpr std::size_t kFileNameOffset = 52;

// Byte groups compared as one unit; the layout keeps each contiguous.
inline constexpr std::size_t kContentKeyOffset = Field::CRC32.Offset;  // CRC32 + MD5: equal content
inline constexpr std::size_t kContentKeySize = 20;
inline constexpr std::size_t kStatusBlockOffset = Field::SIZE.Offset;  // SIZE..NameLength: unchanged file
inline constexpr std::size_t kStatusBlockSize = 22;

static_assert(Field::CRC32.Offset + 4 == kMD5Offset && kMD5Offset + kMD5Size == Field::PathCRC.Offset);
static_assert(kContentKeyOffset + kContentKeySize == Field::PathCRC.Offset);
static_assert(Field::NameLength.Offset + 2 == kEntryHeaderSize && kFileNameOffset == kEntryHeaderSize);
static_assert(kStatusBlockOffset + kStatusBlockSize == kEntryHeaderSize);

// A view of one record; it owns nothing.
struct Entry {
  std::byte* Bytes = nullptr;
};

template <typename F>
typename F::Type Get(Entry e, F) {
  return LoadLE<typename F::Type>(e.Bytes + F::Offset);
}
template <typename F>
void Set(Entry e, F, typename F::Type value) {
  StoreLE(e.Bytes + F::Offset, value);
}

inline std::span<std::byte, kMD5Size> MD5Of(Entry e) { return std::span<std::byte, kMD5Size>(e.Bytes + kMD5Offset, kMD5Size); }

// The path of a live entry; valid only while NameLength is not 0 (a removed entry keeps its bytes).
inline const char* FileNameOf(Entry e) { return reinterpret_cast<const char*>(e.Bytes + kFileNameOffset); }

// Record size for a given NameLength. Computed in 16 bits, as the file format stores it: the scanner
// never builds a NameLength above kMaxNameLength, so the value never wraps.
inline constexpr std::uint16_t kMaxNameLength = 65535 - kEntryHeaderSize;
constexpr std::uint16_t RecordSize(std::uint16_t nameLength) {
  return static_cast<std::uint16_t>(kEntryHeaderSize + nameLength);
}

// Equal CRC32 and MD5, the 20 bytes compared as one: how the purge and the dump tell recorded
// duplicates among neighbours in content order.
inline bool SameContentKey(Entry a, Entry b) {
  return std::memcmp(a.Bytes + kContentKeyOffset, b.Bytes + kContentKeyOffset, kContentKeySize) == 0;
}

// Stores a digest in the record's reversed byte order.
void StoreDigest(Entry e, const std::uint8_t digest[16]);

// Fills a zero-filled record of RecordSize(nameLength) bytes for a new file, in creation order:
// PathCRC, EXDID, SIZE, the two times, NameLength, then the path with its NUL. RecordOffset, CRC32
// and MD5 stay 0 until the content is hashed and the entry saved.
struct FileStatus {
  std::uint64_t size = 0;
  std::int64_t changeTime = 0;
  std::int64_t writeTime = 0;
};
void FillNewEntry(Entry e, const char* path, std::uint16_t nameLength, std::uint32_t pathCRC, const FileStatus& status);

// Writes the status fields of a file found changed: EXDID, SIZE, both times and NameLength.
void WriteStatus(Entry e, const FileStatus& status, std::uint16_t nameLength);
