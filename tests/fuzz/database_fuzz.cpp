// Arbitrary bytes as a database image, through both validators of store/database_format. Whatever
// one accepts is read field by field, the way its users read it, so that ASan reports any access
// outside the image the validator let through.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "store/database_format.h"
#include "store/entry.h"

namespace {

volatile std::uint64_t Sink = 0;

// Every field of the record at `offset`, and its path up to the NUL.
void ReadRecord(std::span<std::byte> image, std::uint32_t offset) {
  const Entry e{image.data() + offset};
  std::uint64_t sum = Get(e, Field::RecordOffset) + Get(e, Field::CRC32) + Get(e, Field::PathCRC) +
                      Get(e, Field::EXDID) + Get(e, Field::SIZE) + Get(e, Field::NameLength);
  sum += static_cast<std::uint64_t>(Get(e, Field::CreationTime) ^ Get(e, Field::LastWrite));
  for (const std::byte b : MD5Of(e)) {
    sum += std::to_integer<std::uint64_t>(b);
  }
  sum += std::strlen(FileNameOf(e));
  Sink = Sink + sum;
}

// A consistent image is used in place with NameLength as the path's size: its last byte is the NUL.
void ReadConsistentRecord(std::span<std::byte> image, std::uint32_t offset) {
  const Entry e{image.data() + offset};
  const std::uint16_t nameLength = Get(e, Field::NameLength);
  if (nameLength == 0 || e.Bytes[kFileNameOffset + nameLength - 1] != std::byte{0}) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::byte> image(size);  // exactly sized and writable, as the scanner holds it
  if (size != 0) {
    std::memcpy(image.data(), data, size);
  }
  const std::optional<DatabaseLayout> readable = CheckReadable(image);
  const std::optional<DatabaseLayout> consistent = CheckConsistent(image);
  if (consistent && !readable) {
    std::abort();  // what the scanner may use in place, the dump must be able to read
  }
  if (readable) {
    for (std::uint32_t i = 0; i < readable->pathCount; ++i) {
      ReadRecord(image, readable->PathOffset(image, i));
    }
    for (std::uint32_t j = 0; j < readable->contentCount; ++j) {
      ReadRecord(image, readable->ContentOffset(image, j));
    }
  }
  if (consistent) {
    for (std::uint32_t i = 0; i < consistent->pathCount; ++i) {
      ReadConsistentRecord(image, consistent->PathOffset(image, i));
    }
  }
  return 0;
}
