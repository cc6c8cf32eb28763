#include "store/entry.h"

#include <cstring>

void StoreDigest(Entry e, const std::uint8_t digest[16]) {
  std::span<std::byte, kMD5Size> md5 = MD5Of(e);
  for (std::size_t j = 0; j < kMD5Size; ++j) {
    md5[j] = static_cast<std::byte>(digest[kMD5Size - 1 - j]);
  }
}

void WriteStatus(Entry e, const FileStatus& status, std::uint16_t nameLength) {
  Set(e, Field::EXDID, 0);
  Set(e, Field::SIZE, static_cast<std::uint32_t>(status.size));
  Set(e, Field::CreationTime, status.changeTime);
  Set(e, Field::LastWrite, status.writeTime);
  Set(e, Field::NameLength, nameLength);
}

void FillNewEntry(Entry e, const char* path, std::uint16_t nameLength, std::uint32_t pathCRC, const FileStatus& status) {
  Set(e, Field::PathCRC, pathCRC);
  WriteStatus(e, status, nameLength);
  std::memcpy(e.Bytes + kFileNameOffset, path, nameLength);
}
