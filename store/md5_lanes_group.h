#pragma once

// What the vector variants of the lane kernel share: the bookkeeping around whole blocks (bit
// counts, incomplete blocks, lanes that run out) is the same for all of them and lives in
// md5_lanes.cpp; a variant brings only its segment function, which hashes whole blocks of a fixed
// group of lanes side by side.

#include <cstddef>
#include <cstdint>
#include <utility>

#include "store/byte_order.h"
#include "store/crc32.h"
#include "store/md5_lanes.h"

// Up to kMaxLanes slots hashed side by side. Every slot is hashed, busy or not: a slot with no work
// of its own repeats a busy slot's blocks into a chaining value and CRC that are thrown away, so
// the segment function needs no masks and reads nothing that is not there.
struct LaneGroup {
  const std::byte* at[kMaxLanes];     // each slot's next block, advanced by the segment function
  std::uint32_t crc[kMaxLanes];       // running CRC-32 of each slot
  std::uint32_t chain[4][kMaxLanes];  // A, B, C, D of every slot, word by word for vector loads
};

// Folds `blocks` (>= 1) whole 64-byte blocks at each slot's `at` into that slot's CRC and chaining
// value, and advances `at` past them.
using SegmentFunction = void (*)(LaneGroup& group, std::size_t blocks);

struct SegmentKernel {
  std::size_t lanes;       // slots in one group: the vector width in 32-bit words
  std::size_t fewestBusy;  // below this many busy slots the scalar code is faster per byte
  SegmentFunction segment;
};

// UpdateLanes built on a segment function: busy lanes are gathered into groups of kernel.lanes
// slots; lanes too few for a group go through the single-stream code.
void UpdateLaneGroups(const SegmentKernel& kernel, LaneState& state, const LanePiece pieces[kMaxLanes]);

// The 64 steps of the MD5 block function, for the vector variants. Step i updates the state word
// StepTarget(i) (A, D, C, B in turn) from the other three, message word StepWord(i), constant
// kStepConstant[i] and rotation StepShift(i); the round, and so the step function, is i / 16.
namespace lanes_detail {
inline constexpr std::uint32_t kStepConstant[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
inline constexpr int kRoundShift[4][4] = {
    {7, 12, 17, 22},
    {5, 9,  14, 20},
    {4, 11, 16, 23},
    {6, 10, 15, 21}
};

constexpr int StepShift(std::size_t step) {
  return kRoundShift[step / 16][step % 4];
}
constexpr std::size_t StepTarget(std::size_t step) {
  return (4 - step % 4) % 4;
}
constexpr std::size_t StepWord(std::size_t step) {
  constexpr std::size_t kFirst[4] = {0, 1, 5, 0};
  constexpr std::size_t kStride[4] = {1, 5, 3, 7};
  return (kFirst[step / 16] + kStride[step / 16] * (step % 16)) % 16;
}

// The register after the 8 bytes at `at`, given crc before them: crc32_detail::Fold, always inlined
// so that it stays where FoldAfterStep places it among the vector steps (the single-stream code
// keeps its own, which its callers inline as they see fit).
[[gnu::always_inline]] inline std::uint32_t FoldWord(std::uint32_t crc, const std::byte* at) {
  const auto& t = crc32_detail::kSlices8;
  const std::uint32_t upper = t[3][std::to_integer<std::size_t>(at[4])] ^ t[2][std::to_integer<std::size_t>(at[5])] ^
                              t[1][std::to_integer<std::size_t>(at[6])] ^ t[0][std::to_integer<std::size_t>(at[7])];
  const std::uint32_t v = LoadLE<std::uint32_t>(at) ^ crc;
  return t[7][v & 0xFFu] ^ t[6][(v >> 8) & 0xFFu] ^ t[5][(v >> 16) & 0xFFu] ^ t[4][v >> 24] ^ upper;
}

// The CRC-32 of a group's blocks, spread over the MD5 steps: MD5 is one long dependency chain per
// slot, and the table lookups, which use other execution units, run in its shadow. A block of
// `Lanes` slots holds 8 * Lanes words of 8 bytes; each round takes the words of a quarter of the
// slots, Lanes / 8 words after every step, taking those slots in turn so that each slot's next
// fold finds its previous one done.
template <std::size_t Lanes, std::size_t Step, std::size_t F>
[[gnu::always_inline]] inline void FoldOne(std::uint32_t (&crc)[kMaxLanes], const std::byte* const (&at)[kMaxLanes]) {
  constexpr std::size_t kPerRound = Lanes / 4;
  constexpr std::size_t kSlot = (Step / 16) * kPerRound + F % kPerRound;
  crc[kSlot] = FoldWord(crc[kSlot], at[kSlot] + 8 * (F / kPerRound));
}

template <std::size_t Lanes, std::size_t Step, std::size_t... K>
[[gnu::always_inline]] inline void FoldAfterStep(std::uint32_t (&crc)[kMaxLanes],
                                                 const std::byte* const (&at)[kMaxLanes], std::index_sequence<K...>) {
  static_assert(Lanes % 8 == 0 && Lanes <= kMaxLanes);
  (FoldOne<Lanes, Step, Lanes / 8 * (Step % 16) + K>(crc, at), ...);
}

template <std::size_t Lanes, std::size_t Step>
[[gnu::always_inline]] inline void FoldAfterStep(std::uint32_t (&crc)[kMaxLanes],
                                                 const std::byte* const (&at)[kMaxLanes]) {
  FoldAfterStep<Lanes, Step>(crc, at, std::make_index_sequence<Lanes / 8>{});
}
}  // namespace lanes_detail

#if defined(KRELBY_X86_64_LANES)
void UpdateLanesAvx2(LaneState& state, const LanePiece pieces[kMaxLanes]);
void UpdateLanesAvx512(LaneState& state, const LanePiece pieces[kMaxLanes]);
#endif
