#pragma once

// CRC-32/ISO-HDLC (reflected, polynomial 0xEDB88320). The caller owns the running value: start it
// at kCrc32Start, fold bytes in with Crc32Update, and complement it at the end. A path's PathCRC is
// taken over the path and its terminating NUL.

#include <array>
#include <cstddef>
#include <cstdint>

#include "store/byte_order.h"

inline constexpr std::uint32_t kCrc32Start = 0xFFFFFFFFu;
inline constexpr std::uint32_t kCrc32Final = 0xFFFFFFFFu;

// Folds length bytes, in order, into running; no inversion of its own. Length 0 changes nothing.
void Crc32Update(std::uint32_t& running, const void* bytes, std::uint32_t length);

namespace crc32_detail {
// Entry n: the register after byte n is folded into a zero register; the classic byte-wise table.
// Crc32Update derives its wider tables from this one.
using Table = std::array<std::uint32_t, 256>;
constexpr Table MakeTable() {
  Table t{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) {
      c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    t[n] = c;
  }
  return t;
}
inline constexpr Table kTable = MakeTable();

// Slicing-by-8: slice k, entry n is the register after byte n followed by k zero bytes. Byte j of
// an 8-byte word is looked up in slice 7 - j.
using Slices8 = std::array<Table, 8>;
constexpr Slices8 MakeSlices8(const Table& first) {
  Slices8 s{};
  s[0] = first;
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::size_t n = 0; n < 256; ++n) {
      s[k][n] = (s[k - 1][n] >> 8) ^ kTable[s[k - 1][n] & 0xFFu];
    }
  }
  return s;
}
inline constexpr Slices8 kSlices8 = MakeSlices8(kTable);

// The register after the eight bytes at `at`, given crc before them; one lookup a byte. Only the
// first four bytes meet crc: the last four index their slices straight from memory, so their
// lookups need not wait for crc at all.
inline std::uint32_t Fold(const Slices8& slices, std::uint32_t crc, const std::byte* at) {
  const std::uint32_t upper = slices[3][std::to_integer<std::size_t>(at[4])] ^
                              slices[2][std::to_integer<std::size_t>(at[5])] ^
                              slices[1][std::to_integer<std::size_t>(at[6])] ^
                              slices[0][std::to_integer<std::size_t>(at[7])];
  const std::uint32_t v = LoadLE<std::uint32_t>(at) ^ crc;
  return slices[7][v & 0xFFu] ^ slices[6][(v >> 8) & 0xFFu] ^ slices[5][(v >> 16) & 0xFFu] ^ slices[4][v >> 24] ^ upper;
}

constexpr std::uint32_t Bytewise(std::uint32_t running, const char* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    running = (running >> 8) ^ kTable[(running ^ static_cast<unsigned char>(text[i])) & 0xFFu];
  }
  return running;
}
}  // namespace crc32_detail

// CRC-32 of a text, start value and final inversion included; usable at compile time.
template <std::size_t N>
constexpr std::uint32_t Crc32Of(const char (&text)[N]) {
  return crc32_detail::Bytewise(kCrc32Start, text, N - 1) ^ kCrc32Final;
}
static_assert(Crc32Of("123456789") == 0xCBF43926u);
static_assert(Crc32Of("") == 0u);
