#include "store/md5_lanes.h"

#include <cassert>
#include <cstring>

#include "store/crc32.h"
#include "store/md5.h"
#include "store/md5_lanes_group.h"

namespace {

// The contract: each lane on its own, through the single-stream code.
void UpdateLanesPortable(LaneState& state, const LanePiece pieces[kMaxLanes]) {
  for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
    if (pieces[lane].length != 0) {
      Crc32AndMD5Update(state.crc[lane], state.md5[lane], pieces[lane].bytes, pieces[lane].length);
    }
  }
}

// Adds length bytes to the bit count, modulo 2^64, exactly as MD5Update does.
void AddToBitCount(MD5_CTX& md5, std::uint32_t length) {
  const std::uint32_t oldLow = md5.count[0];
  md5.count[0] = oldLow + (length << 3);
  if (md5.count[0] < oldLow) {
    ++md5.count[1];
  }
  md5.count[1] += length >> 29;
}

// What is left of one lane's piece for the whole-block stage.
struct BlockRun {
  const std::byte* at = nullptr;
  std::size_t blocks = 0;
  std::uint32_t tail = 0;  // bytes after the blocks, fewer than 64
};

// Counts the piece, completes a waiting block from its first bytes (folding those into the CRC) and
// says where the piece's whole blocks lie.
BlockRun StartPiece(LaneState& state, std::size_t lane, const LanePiece& piece) {
  MD5_CTX& md5 = state.md5[lane];
  const std::uint32_t waiting = (md5.count[0] >> 3) & 63u;
  AddToBitCount(md5, piece.length);
  const std::byte* at = piece.bytes;
  std::uint32_t left = piece.length;
  if (waiting != 0) {
    const std::uint32_t take = left < 64 - waiting ? left : 64 - waiting;
    std::memcpy(md5.buffer + waiting, at, take);
    Crc32Update(state.crc[lane], at, take);
    at += take;
    left -= take;
    if (waiting + take < 64) {
      return {};
    }
    MD5Transform(md5.state, md5.buffer);
  }
  return {at, left / 64, left % 64};
}

// The bytes after the whole blocks wait in the lane's block buffer for the next piece or the end.
void FinishPiece(LaneState& state, std::size_t lane, const BlockRun& run) {
  if (run.tail != 0) {
    Crc32Update(state.crc[lane], run.at, run.tail);
    std::memcpy(state.md5[lane].buffer, run.at, run.tail);
  }
}

}  // namespace

void UpdateLaneGroups(const SegmentKernel& kernel, LaneState& state, const LanePiece pieces[kMaxLanes]) {
  BlockRun runs[kMaxLanes];
  for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
    if (pieces[lane].length != 0) {
      runs[lane] = StartPiece(state, lane, pieces[lane]);
    }
  }
  // Segments: the busy lanes with the most blocks left fill a group, which runs until the first of
  // them is done. Taking the longest first keeps the groups full for as long as there is work for
  // a whole group.
  for (;;) {
    std::size_t busy[kMaxLanes];
    std::size_t busyCount = 0;
    for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
      if (runs[lane].blocks == 0) {
        continue;
      }
      std::size_t at = busyCount++;
      for (; at > 0 && runs[busy[at - 1]].blocks < runs[lane].blocks; --at) {
        busy[at] = busy[at - 1];
      }
      busy[at] = lane;
    }
    if (busyCount == 0 || busyCount < kernel.fewestBusy) {
      break;
    }
    const std::size_t slots = busyCount < kernel.lanes ? busyCount : kernel.lanes;
    const std::size_t blocks = runs[busy[slots - 1]].blocks;
    LaneGroup group;
    for (std::size_t slot = 0; slot < kernel.lanes; ++slot) {
      const std::size_t lane = busy[slot < slots ? slot : 0];
      group.at[slot] = runs[lane].at;
      group.crc[slot] = state.crc[lane];
      for (std::size_t word = 0; word < 4; ++word) {
        group.chain[word][slot] = state.md5[lane].state[word];
      }
    }
    kernel.segment(group, blocks);
    for (std::size_t slot = 0; slot < slots; ++slot) {
      const std::size_t lane = busy[slot];
      runs[lane].at = group.at[slot];
      runs[lane].blocks -= blocks;
      state.crc[lane] = group.crc[slot];
      for (std::size_t word = 0; word < 4; ++word) {
        state.md5[lane].state[word] = group.chain[word][slot];
      }
    }
  }
  // Too few lanes for a group: the single-stream code takes their blocks, from a context whose
  // block buffer is empty, so that it compresses them in place.
  for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
    BlockRun& run = runs[lane];
    if (run.blocks != 0) {
      MD5_CTX whole;
      std::memcpy(whole.state, state.md5[lane].state, sizeof whole.state);
      whole.count[0] = 0;
      whole.count[1] = 0;
      const auto length = static_cast<std::uint32_t>(run.blocks * 64);
      Crc32AndMD5Update(state.crc[lane], whole, run.at, length);
      std::memcpy(state.md5[lane].state, whole.state, sizeof whole.state);
      run.at += length;
      run.blocks = 0;
    }
  }
  for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
    if (pieces[lane].length != 0) {
      FinishPiece(state, lane, runs[lane]);
    }
  }
}

namespace {

// The variants this CPU can run, best last; chosen once.
struct Variants {
  LaneKernel list[3];
  std::size_t count = 0;
};

Variants FindVariants() {
  Variants found;
  found.list[found.count++] = {"portable", 1, UpdateLanesPortable};
#if defined(KRELBY_X86_64_LANES)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) {
    found.list[found.count++] = {"avx2", 8, UpdateLanesAvx2};
  }
  if (__builtin_cpu_supports("avx512f")) {
    found.list[found.count++] = {"avx512", 16, UpdateLanesAvx512};
  }
#endif
  return found;
}

const Variants& Runnable() {
  static const Variants variants = FindVariants();
  return variants;
}

const LaneKernel& Chosen() {
  return Runnable().list[Runnable().count - 1];
}

}  // namespace

void StartLane(LaneState& state, std::size_t lane) {
  assert(lane < kMaxLanes);
  state.crc[lane] = kCrc32Start;
  MD5Init(state.md5[lane]);
}

void UpdateLanes(LaneState& state, const LanePiece pieces[kMaxLanes]) {
  Chosen().update(state, pieces);
}

void FinishLane(LaneState& state, std::size_t lane, std::uint32_t& crc, std::uint8_t digest[16]) {
  assert(lane < kMaxLanes);
  crc = state.crc[lane] ^ kCrc32Final;
  MD5Final(digest, state.md5[lane]);
}

std::size_t LaneCount() {
  return Chosen().lanes;
}

std::span<const LaneKernel> RunnableLaneKernels() {
  return {Runnable().list, Runnable().count};
}
