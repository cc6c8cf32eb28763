#pragma once

// CRC-32 and MD5 of up to kMaxLanes independent streams at once. Each stream lives in a lane of a
// LaneState; one UpdateLanes call folds the current piece of every busy lane into that lane's two
// checksums. The results are exactly those of Crc32Update and MD5Init/MD5Update/MD5Final over the
// same bytes, whatever the lengths and however a stream is split into pieces.
//
// Typical use: StartLane(state, k) for a new stream; per round, fill pieces[k] for the busy lanes
// (length 0 for the others) and call UpdateLanes once; FinishLane(state, k, ...) when stream k has
// had all its bytes. A lane may be restarted at any time, also in the middle of a stream (to drop
// what it has absorbed). The kernel allocates nothing and keeps no state of its own: the caller owns
// the LaneState and the bytes.

#include <cstddef>
#include <cstdint>
#include <span>

#include "store/md5.h"

inline constexpr std::size_t kMaxLanes = 16;

// One lane's bytes for one UpdateLanes call. Length 0 leaves the lane untouched (idle), whatever
// bytes points at. Any length is accepted; the kernel is fastest when most lanes bring equally long
// pieces of many 64-byte blocks, such as 65536 bytes each.
struct LanePiece {
  const std::byte* bytes = nullptr;
  std::uint32_t length = 0;
};

// Plain data: a zero-filled or uninitialised LaneState is fine, as long as each lane is started
// before its first piece. A lane holds exactly what a running CRC and an MD5_CTX hold.
struct LaneState {
  std::uint32_t crc[kMaxLanes];  // running CRC-32, not yet inverted
  MD5_CTX md5[kMaxLanes];        // chaining value, bit count and incomplete block of each lane
};

// Begins a new, empty stream in lane `lane` (< kMaxLanes), discarding whatever it held.
void StartLane(LaneState& state, std::size_t lane);

// Folds pieces[k] into lane k, for every k < kMaxLanes with a non-zero length; other lanes keep
// their state. Pieces may have different lengths, and may lie anywhere, even in the same buffer.
void UpdateLanes(LaneState& state, const LanePiece pieces[kMaxLanes]);

// The final CRC-32 (inverted, as stored) and the 16-byte MD5 digest of lane `lane`'s stream. The
// lane must be started again before it takes another piece. An empty stream gives CRC 0 and the
// MD5 of empty input.
void FinishLane(LaneState& state, std::size_t lane, std::uint32_t& crc, std::uint8_t digest[16]);

// How many lanes this machine hashes side by side in one pass: 16 with AVX-512, 8 with AVX2, 1 for
// the portable code. Every variant accepts all kMaxLanes lanes; keeping LaneCount() lanes busy is
// what makes it fast, and more give no further speed.
std::size_t LaneCount();

// The variants, for tests and benchmarks: each one's UpdateLanes and lane count. The choice behind
// UpdateLanes and LaneCount is made once, from what the CPU reports.
struct LaneKernel {
  const char* name;
  std::size_t lanes;
  void (*update)(LaneState& state, const LanePiece pieces[kMaxLanes]);
};

// Every variant this CPU can run, the portable one first and the one UpdateLanes uses last.
std::span<const LaneKernel> RunnableLaneKernels();
