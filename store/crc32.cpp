#include "store/crc32.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "store/byte_order.h"

namespace {

using crc32_detail::kTable;
using crc32_detail::Fold;
using crc32_detail::kSlices8;
using crc32_detail::MakeSlices8;
using crc32_detail::Slices8;
using crc32_detail::Table;

// Long runs are folded as kLanes interleaved streams: a row is kRowSize bytes and lane k owns the
// 8-byte word at offset 8k of every row. The lanes do not wait for each other, so their lookups
// overlap instead of queueing behind one register; they are merged once, in the last row. Four
// lanes keep the loads busy without running out of registers.
constexpr std::size_t kLanes = 4;
constexpr std::size_t kRowSize = 8 * kLanes;

// Far holds slices kRowSize - 8 to kRowSize - 1: one word of a lane followed by the rest of the
// row, which that lane's register sees as zeros. The last row and shorter runs use the plain
// slicing-by-8 set.
constexpr Slices8 MakeFar() {
  Table slice = kTable;
  for (std::size_t k = 0; k < kRowSize - 8; ++k) {
    Table next{};
    for (std::size_t n = 0; n < 256; ++n) {
      next[n] = (slice[n] >> 8) ^ kTable[slice[n] & 0xFFu];
    }
    slice = next;
  }
  return MakeSlices8(slice);
}
constexpr Slices8 kFar = MakeFar();

// Folds rows whole rows (at least one) at p into crc. Lane words go through Far, except in the
// last row, which runs through Near in message order: each lane's register joins the running one
// just before that lane's word, where the lane's bytes stand in the message.
template <std::size_t... K>
std::uint32_t FoldRows(std::uint32_t crc, const std::byte* p, std::size_t rows, std::index_sequence<K...>) {
  std::uint32_t lane[kLanes] = {crc};
  for (; rows > 1; --rows, p += kRowSize) {
    ((lane[K] = Fold(kFar, lane[K], p + 8 * K)), ...);
  }
  crc = 0;
  ((crc = Fold(kSlices8, crc ^ lane[K], p + 8 * K)), ...);
  return crc;
}

}  // namespace

// Runs of two rows or more go through the lanes, then whole words through Near, then single
// bytes through the classic table; all three give the byte-wise loop's register.
void Crc32Update(std::uint32_t& running, const void* bytes, std::uint32_t length) {
  const std::byte* p = static_cast<const std::byte*>(bytes);
  std::uint32_t crc = running;
  std::size_t left = length;
  if (left >= 2 * kRowSize) {
    const std::size_t rows = left / kRowSize;
    crc = FoldRows(crc, p, rows, std::make_index_sequence<kLanes>{});
    p += rows * kRowSize;
    left -= rows * kRowSize;
  }
  for (; left >= 8; left -= 8, p += 8) {
    crc = Fold(kSlices8, crc, p);
  }
  for (; left != 0; --left, ++p) {
    crc = (crc >> 8) ^ kTable[(crc ^ std::to_integer<std::uint32_t>(*p)) & 0xFFu];
  }
  running = crc;
}
