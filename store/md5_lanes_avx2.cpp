// The lane kernel with AVX2: 8 slots, one 32-bit word of each in a 256-bit register. Only the
// functions marked KRELBY_AVX2 use the instruction set, and the run-time choice in md5_lanes.cpp
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

#define KRELBY_AVX2 __attribute__((target("avx2")))

namespace {

using lanes_detail::FoldAfterStep;
using lanes_detail::kStepConstant;
using lanes_detail::StepShift;
using lanes_detail::StepTarget;
using lanes_detail::StepWord;

constexpr std::size_t kSlots = 8;

template <std::size_t Round>
[[gnu::always_inline]] KRELBY_AVX2 inline __m256i StepFunction(__m256i b, __m256i c, __m256i d) {
  if constexpr (Round == 0) {  // F = b ? c : d
    return _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));
  } else if constexpr (Round == 1) {  // G = d ? b : c
    return _mm256_or_si256(_mm256_and_si256(b, d), _mm256_andnot_si256(d, c));
  } else if constexpr (Round == 2) {  // H
    return _mm256_xor_si256(_mm256_xor_si256(b, c), d);
  } else {  // I = c ^ (b | ~d)
    return _mm256_xor_si256(c, _mm256_or_si256(b, _mm256_xor_si256(d, _mm256_set1_epi32(-1))));
  }
}

template <std::size_t I>
[[gnu::always_inline]] KRELBY_AVX2 inline void Step(__m256i (&v)[4], const __m256i (&x)[16]) {
  constexpr std::size_t a = StepTarget(I);
  constexpr std::size_t b = (a + 1) % 4;
  constexpr std::size_t c = (a + 2) % 4;
  constexpr std::size_t d = (a + 3) % 4;
  constexpr int kShift = StepShift(I);
  const __m256i input = _mm256_add_epi32(x[StepWord(I)], _mm256_set1_epi32(static_cast<int>(kStepConstant[I])));
  __m256i sum = _mm256_add_epi32(v[a], input);
  sum = _mm256_add_epi32(sum, StepFunction<I / 16>(v[b], v[c], v[d]));
  const __m256i rotated = _mm256_or_si256(_mm256_slli_epi32(sum, kShift), _mm256_srli_epi32(sum, 32 - kShift));
  v[a] = _mm256_add_epi32(v[b], rotated);
}

template <std::size_t... I>
[[gnu::always_inline]] KRELBY_AVX2 inline void Steps(__m256i (&v)[4], const __m256i (&x)[16],
                                                     std::uint32_t (&crc)[kMaxLanes],
                                                     const std::byte* const (&at)[kMaxLanes],
                                                     std::index_sequence<I...>) {
  ((Step<I>(v, x), FoldAfterStep<kSlots, I>(crc, at)), ...);
}

// x[w] := word w of every slot's block: two 8 x 8 transposes of 32-bit words (words 0 to 7, then 8
// to 15), each in three rounds of shuffles: pairs of words, pairs of pairs, 128-bit halves.
[[gnu::always_inline]] KRELBY_AVX2 inline void LoadWords(const std::byte* const (&at)[kMaxLanes], __m256i (&x)[16]) {
#pragma GCC unroll 16
  for (std::size_t half = 0; half < 2; ++half) {
    __m256i r[8];
#pragma GCC unroll 16
    for (std::size_t s = 0; s < 8; ++s) {
      r[s] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at[s] + 32 * half));
    }
    __m256i t[8];
#pragma GCC unroll 16
    for (std::size_t s = 0; s < 8; s += 2) {
      t[s] = _mm256_unpacklo_epi32(r[s], r[s + 1]);
      t[s + 1] = _mm256_unpackhi_epi32(r[s], r[s + 1]);
    }
    // u[4g + m], half q: word 4q + m of slots 4g to 4g + 3.
    __m256i u[8];
#pragma GCC unroll 16
    for (std::size_t g = 0; g < 2; ++g) {
      u[4 * g + 0] = _mm256_unpacklo_epi64(t[4 * g], t[4 * g + 2]);
      u[4 * g + 1] = _mm256_unpackhi_epi64(t[4 * g], t[4 * g + 2]);
      u[4 * g + 2] = _mm256_unpacklo_epi64(t[4 * g + 1], t[4 * g + 3]);
      u[4 * g + 3] = _mm256_unpackhi_epi64(t[4 * g + 1], t[4 * g + 3]);
    }
#pragma GCC unroll 16
    for (std::size_t m = 0; m < 4; ++m) {
      x[8 * half + m] = _mm256_permute2x128_si256(u[m], u[4 + m], 0x20);
      x[8 * half + 4 + m] = _mm256_permute2x128_si256(u[m], u[4 + m], 0x31);
    }
  }
}

KRELBY_AVX2 void Segment(LaneGroup& group, std::size_t blocks) {
  __m256i v[4];
  for (std::size_t w = 0; w < 4; ++w) {
    v[w] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(group.chain[w]));
  }
  std::uint32_t crc[kMaxLanes];
  const std::byte* at[kMaxLanes];
  for (std::size_t s = 0; s < kSlots; ++s) {
    crc[s] = group.crc[s];
    at[s] = group.at[s];
  }
  for (; blocks != 0; --blocks) {
    __m256i x[16];
    LoadWords(at, x);
    const __m256i before[4] = {v[0], v[1], v[2], v[3]};
    Steps(v, x, crc, at, std::make_index_sequence<64>{});
#pragma GCC unroll 16
    for (std::size_t w = 0; w < 4; ++w) {
      v[w] = _mm256_add_epi32(v[w], before[w]);
    }
#pragma GCC unroll 16
    for (std::size_t s = 0; s < kSlots; ++s) {
      at[s] += 64;
    }
  }
  for (std::size_t w = 0; w < 4; ++w) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(group.chain[w]), v[w]);
  }
  for (std::size_t s = 0; s < kSlots; ++s) {
    group.crc[s] = crc[s];
    group.at[s] = at[s];
  }
}

}  // namespace

void UpdateLanesAvx2(LaneState& state, const LanePiece pieces[kMaxLanes]) {
  static constexpr SegmentKernel kKernel{kSlots, 4, Segment};
  UpdateLaneGroups(kKernel, state, pieces);
}
