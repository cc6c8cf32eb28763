// The lane kernel with AVX-512: 16 slots, one 32-bit word of each in a 512-bit register. Only the
// functions marked KRELBY_AVX512 use the instruction set, and the run-time choice in md5_lanes.cpp
// calls them only on a CPU that has it; the rest of the program stays generic x86-64.

// g++ 12's own intrinsic headers start some results from a deliberately undefined register
// (`__Y = __Y`), which its uninitialised-use warning then reports at every use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include <cstddef>
#include <cstdint>
#include <utility>

#include "store/md5_lanes_group.h"

#define KRELBY_AVX512 __attribute__((target("avx512f")))

namespace {

using lanes_detail::FoldAfterStep;
using lanes_detail::kStepConstant;
using lanes_detail::StepShift;
using lanes_detail::StepTarget;
using lanes_detail::StepWord;

constexpr std::size_t kSlots = 16;

// Step functions as three-input truth tables over (b, c, d): F = b ? c : d, G = d ? b : c,
// H = b ^ c ^ d, I = c ^ (b | ~d).
constexpr int kRoundTable[4] = {0xCA, 0xE4, 0x96, 0x39};

template <std::size_t I>
[[gnu::always_inline]] KRELBY_AVX512 inline void Step(__m512i (&v)[4], const __m512i (&x)[16]) {
  constexpr std::size_t a = StepTarget(I);
  constexpr std::size_t b = (a + 1) % 4;
  constexpr std::size_t c = (a + 2) % 4;
  constexpr std::size_t d = (a + 3) % 4;
  constexpr int kTruthTable = kRoundTable[I / 16];  // immediates, also for unoptimised builds
  constexpr int kShift = StepShift(I);
  const __m512i input = _mm512_add_epi32(x[StepWord(I)], _mm512_set1_epi32(static_cast<int>(kStepConstant[I])));
  __m512i sum = _mm512_add_epi32(v[a], input);
  sum = _mm512_add_epi32(sum, _mm512_ternarylogic_epi32(v[b], v[c], v[d], kTruthTable));
  v[a] = _mm512_add_epi32(v[b], _mm512_rol_epi32(sum, kShift));
}

template <std::size_t... I>
[[gnu::always_inline]] KRELBY_AVX512 inline void Steps(__m512i (&v)[4], const __m512i (&x)[16],
                                                       std::uint32_t (&crc)[kMaxLanes],
                                                       const std::byte* const (&at)[kMaxLanes],
                                                       std::index_sequence<I...>) {
  ((Step<I>(v, x), FoldAfterStep<kSlots, I>(crc, at)), ...);
}

// x[w] := word w of every slot's block: a 16 x 16 transpose of 32-bit words in four rounds of
// shuffles, pairs of words, then pairs of pairs, then 128-bit quarters twice.
[[gnu::always_inline]] KRELBY_AVX512 inline void LoadWords(const std::byte* const (&at)[kMaxLanes], __m512i (&x)[16]) {
  __m512i r[16];
#pragma GCC unroll 16
  for (std::size_t s = 0; s < 16; ++s) {
    r[s] = _mm512_loadu_si512(at[s]);
  }
  __m512i t[16];
#pragma GCC unroll 16
  for (std::size_t s = 0; s < 16; s += 2) {
    t[s] = _mm512_unpacklo_epi32(r[s], r[s + 1]);
    t[s + 1] = _mm512_unpackhi_epi32(r[s], r[s + 1]);
  }
  // u[4g + m], quarter q: word 4q + m of slots 4g to 4g + 3.
  __m512i u[16];
#pragma GCC unroll 16
  for (std::size_t g = 0; g < 4; ++g) {
    u[4 * g + 0] = _mm512_unpacklo_epi64(t[4 * g], t[4 * g + 2]);
    u[4 * g + 1] = _mm512_unpackhi_epi64(t[4 * g], t[4 * g + 2]);
    u[4 * g + 2] = _mm512_unpacklo_epi64(t[4 * g + 1], t[4 * g + 3]);
    u[4 * g + 3] = _mm512_unpackhi_epi64(t[4 * g + 1], t[4 * g + 3]);
  }
#pragma GCC unroll 16
  for (std::size_t m = 0; m < 4; ++m) {
    const __m512i low01 = _mm512_shuffle_i32x4(u[m], u[4 + m], 0x44);
    const __m512i high01 = _mm512_shuffle_i32x4(u[m], u[4 + m], 0xEE);
    const __m512i low23 = _mm512_shuffle_i32x4(u[8 + m], u[12 + m], 0x44);
    const __m512i high23 = _mm512_shuffle_i32x4(u[8 + m], u[12 + m], 0xEE);
    x[m] = _mm512_shuffle_i32x4(low01, low23, 0x88);
    x[4 + m] = _mm512_shuffle_i32x4(low01, low23, 0xDD);
    x[8 + m] = _mm512_shuffle_i32x4(high01, high23, 0x88);
    x[12 + m] = _mm512_shuffle_i32x4(high01, high23, 0xDD);
  }
}

KRELBY_AVX512 void Segment(LaneGroup& group, std::size_t blocks) {
  __m512i v[4];
  for (std::size_t w = 0; w < 4; ++w) {
    v[w] = _mm512_loadu_si512(group.chain[w]);
  }
  std::uint32_t crc[kMaxLanes];
  const std::byte* at[kMaxLanes];
  for (std::size_t s = 0; s < kSlots; ++s) {
    crc[s] = group.crc[s];
    at[s] = group.at[s];
  }
  for (; blocks != 0; --blocks) {
    __m512i x[16];
    LoadWords(at, x);
    const __m512i before[4] = {v[0], v[1], v[2], v[3]};
    Steps(v, x, crc, at, std::make_index_sequence<64>{});
#pragma GCC unroll 16
    for (std::size_t w = 0; w < 4; ++w) {
      v[w] = _mm512_add_epi32(v[w], before[w]);
    }
#pragma GCC unroll 16
    for (std::size_t s = 0; s < kSlots; ++s) {
      at[s] += 64;
    }
  }
  for (std::size_t w = 0; w < 4; ++w) {
    _mm512_storeu_si512(group.chain[w], v[w]);
  }
  for (std::size_t s = 0; s < kSlots; ++s) {
    group.crc[s] = crc[s];
    group.at[s] = at[s];
  }
}

}  // namespace

void UpdateLanesAvx512(LaneState& state, const LanePiece pieces[kMaxLanes]) {
  static constexpr SegmentKernel kKernel{kSlots, 4, Segment};
  UpdateLaneGroups(kKernel, state, pieces);
}
