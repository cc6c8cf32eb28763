#include "store/crc32.h"

#include "store/byte_order.h"

namespace {

using crc32_detail::kTables;

inline std::uint32_t Word(const std::byte* at) { return LoadLE<std::uint32_t>(at); }

inline std::uint32_t Lookup(std::size_t slice, std::uint32_t word, int shift) {
  return kTables[slice][(word >> shift) & 0xFFu];
}

}  // namespace

// Slicing-by-16: sixteen table lookups fold sixteen bytes at once, still one lookup per byte. The
// results are those of the byte-wise loop used for the tail.
void Crc32Update(std::uint32_t& running, const void* bytes, std::uint32_t length) {
  const std::byte* p = static_cast<const std::byte*>(bytes);
  std::uint32_t crc = running;
  while (length >= 16) {
    const std::uint32_t a = Word(p) ^ crc;
    const std::uint32_t b = Word(p + 4);
    const std::uint32_t c = Word(p + 8);
    const std::uint32_t d = Word(p + 12);
    crc = Lookup(15, a, 0) ^ Lookup(14, a, 8) ^ Lookup(13, a, 16) ^ Lookup(12, a, 24) ^  //
          Lookup(11, b, 0) ^ Lookup(10, b, 8) ^ Lookup(9, b, 16) ^ Lookup(8, b, 24) ^    //
          Lookup(7, c, 0) ^ Lookup(6, c, 8) ^ Lookup(5, c, 16) ^ Lookup(4, c, 24) ^      //
          Lookup(3, d, 0) ^ Lookup(2, d, 8) ^ Lookup(1, d, 16) ^ Lookup(0, d, 24);
    p += 16;
    length -= 16;
  }
  while (length-- != 0) {
    crc = (crc >> 8) ^ kTables[0][(crc ^ std::to_integer<std::uint32_t>(*p++)) & 0xFFu];
  }
  running = crc;
}
