#include "store/md5_lanes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "store/crc32.h"
#include "store/md5.h"

// Test names and failures show a variant by its name.
void PrintTo(const LaneKernel& kernel, std::ostream* out) {
  *out << kernel.name;
}

namespace {

struct Sums {
  std::uint32_t crc = 0;
  std::string md5;
  bool operator==(const Sums&) const = default;
};

std::string Hex(const std::uint8_t digest[16]) {
  char text[33];
  for (int i = 0; i < 16; ++i) {
    std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
  }
  return text;
}

// Pseudo-random bytes, so that every stream and every block differs from the others.
const std::vector<std::byte>& Source() {
  static const std::vector<std::byte> bytes = [] {
    std::vector<std::byte> b(std::size_t{1} << 20);
    std::uint64_t seed = 0x243F6A8885A308D3u;
    for (std::byte& x : b) {
      seed = seed * 6364136223846793005u + 1442695040888963407u;
      x = static_cast<std::byte>(seed >> 56);
    }
    return b;
  }();
  return bytes;
}

// The single-stream reference: Crc32Update, then MD5Update, over the whole stream at once.
Sums SingleStream(const std::byte* bytes, std::size_t length) {
  std::uint32_t running = kCrc32Start;
  Crc32Update(running, bytes, static_cast<std::uint32_t>(length));
  MD5_CTX md5;
  MD5Init(md5);
  MD5Update(md5, bytes, static_cast<std::uint32_t>(length));
  std::uint8_t digest[16];
  MD5Final(digest, md5);
  return {running ^ kCrc32Final, Hex(digest)};
}

// One stream of a lane: `length` bytes of Source() from `from`, fed `piece` bytes per call. An
// abandoned stream is dropped part-way with StartLane, as after a failed read, and never finished.
struct Stream {
  std::size_t from;
  std::size_t length;
  std::uint32_t piece;
  std::size_t abandonAfter = 0;  // > 0: abandoned once this many bytes went in
};

// Runs each lane's streams one after the other through `kernel`, every busy lane once per call, as
// the scan pipeline does, and checks each finished stream against the single-stream reference.
void RunLanes(const LaneKernel& kernel, const std::vector<std::vector<Stream>>& lanes) {
  ASSERT_LE(lanes.size(), kMaxLanes);
  LaneState state;
  std::size_t next[kMaxLanes] = {};  // index of the lane's current stream
  std::size_t done[kMaxLanes] = {};  // bytes of it fed so far
  for (std::size_t lane = 0; lane < lanes.size(); ++lane) {
    StartLane(state, lane);
  }
  for (bool busy = true; busy;) {
    busy = false;
    LanePiece pieces[kMaxLanes];
    for (std::size_t lane = 0; lane < lanes.size(); ++lane) {
      // Finish (or abandon) streams that have all their bytes, empty ones included.
      while (next[lane] < lanes[lane].size()) {
        const Stream& s = lanes[lane][next[lane]];
        const std::size_t end = s.abandonAfter != 0 ? s.abandonAfter : s.length;
        if (done[lane] < end) {
          break;
        }
        if (s.abandonAfter == 0) {
          SCOPED_TRACE("lane " + std::to_string(lane) + ", stream " + std::to_string(next[lane]) + " of " +
                       std::to_string(s.length) + " bytes");
          Sums sums;
          std::uint8_t digest[16];
          FinishLane(state, lane, sums.crc, digest);
          sums.md5 = Hex(digest);
          EXPECT_EQ(sums, SingleStream(Source().data() + s.from, s.length));
        }
        StartLane(state, lane);
        ++next[lane];
        done[lane] = 0;
      }
      if (next[lane] == lanes[lane].size()) {
        continue;
      }
      const Stream& s = lanes[lane][next[lane]];
      const std::size_t end = s.abandonAfter != 0 ? s.abandonAfter : s.length;
      const std::size_t length = std::min<std::size_t>(s.piece, end - done[lane]);
      pieces[lane] = {Source().data() + s.from + done[lane], static_cast<std::uint32_t>(length)};
      done[lane] += length;
      busy = true;
    }
    if (busy) {
      kernel.update(state, pieces);
    }
  }
}

class LaneKernelTest : public testing::TestWithParam<LaneKernel> {};

// Every lane runs a series of short streams of different lengths, each in one piece: the lanes
// finish at different times and are restarted while the others go on, and one call holds pieces of
// many lengths, around the 64-byte block and the 55/56-byte padding edge among them.
TEST_P(LaneKernelTest, StreamsOfUnequalLengthFinishingAtDifferentTimes) {
  const std::size_t lengths[] = {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000, 4096, 65536};
  std::vector<std::vector<Stream>> lanes(kMaxLanes);
  for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
    for (std::size_t i = 0; i < std::size(lengths); ++i) {
      const std::size_t length = lengths[(i + lane) % std::size(lengths)];
      lanes[lane].push_back({(lane * 4099 + i * 131) % 4096, length, 65536});
    }
  }
  RunLanes(GetParam(), lanes);
}

// Pieces off the block grid: bytes wait in a lane's block buffer from one call to the next, are
// completed by the next piece, or a piece ends inside the waiting block.
TEST_P(LaneKernelTest, PiecesThatSplitBlocks) {
  const std::uint32_t pieces[] = {1, 7, 55, 63, 64, 65, 100, 1000, 4097, 65535, 65536, 3, 129, 640, 5000, 60000};
  std::vector<std::vector<Stream>> lanes(kMaxLanes);
  for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
    const std::uint32_t piece = pieces[lane];
    lanes[lane].push_back({lane * 17, piece < 100 ? std::size_t{3000} + lane : std::size_t{200003}, piece});
    lanes[lane].push_back({lane * 33, 131073, piece < 100 ? 65 : piece});
  }
  RunLanes(GetParam(), lanes);
}

// All lanes busy with long streams in full pieces, the common case, with one lane's stream ending
// early and a stream abandoned part-way, with a partial block waiting, and started afresh.
TEST_P(LaneKernelTest, FullPiecesWithAnEarlyEndAndARestart) {
  std::vector<std::vector<Stream>> lanes(kMaxLanes);
  for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
    lanes[lane].push_back({lane * 65536 % 786432, 196608 + (lane == 5 ? 0 : 1000 * lane), 65536});
  }
  lanes[2].insert(lanes[2].begin(), Stream{7, 100000, 65536, 70001});
  lanes[9].front().length = 70000;
  RunLanes(GetParam(), lanes);
}

// Every number of busy lanes from 1 to 16, the others idle, wherever they stand: the variants take
// few lanes through the single-stream code and regroup the rest.
TEST_P(LaneKernelTest, AnyNumberOfBusyLanes) {
  for (std::size_t busy = 1; busy <= kMaxLanes; ++busy) {
    SCOPED_TRACE(std::to_string(busy) + " busy lanes");
    std::vector<std::vector<Stream>> lanes(kMaxLanes);
    for (std::size_t i = 0; i < busy; ++i) {
      const std::size_t lane = (i * 7 + busy) % kMaxLanes;  // 7 and 16 are coprime: no lane twice
      lanes[lane].push_back({i * 1000, 64 * (30 + 5 * i) + i, 4096});
    }
    RunLanes(GetParam(), lanes);
  }
}

// The bit count passes 2^32 bits after 2^29 bytes, and wraps at 2^64: it must carry as MD5Update
// carries. Each lane starts from a context that has (as far as MD5 can tell) absorbed nearly 2^29
// bytes, a few of them still waiting in its block buffer, and takes two pieces past the carry.
TEST_P(LaneKernelTest, BitCountCarriesPast2To32Bits) {
  LaneState state;
  MD5_CTX expected[kMaxLanes];
  LanePiece pieces[kMaxLanes];
  const std::byte* bytes = Source().data();
  for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
    StartLane(state, lane);
    MD5Update(state.md5[lane], bytes + 500, static_cast<std::uint32_t>(lane * 3));
    state.md5[lane].count[0] = static_cast<std::uint32_t>(0xFFFF0000u + 8 * lane * 3);  // 3 * lane bytes waiting
    state.md5[lane].count[1] = lane == 15 ? 0xFFFFFFFFu : lane;
    expected[lane] = state.md5[lane];
  }
  for (const std::uint32_t length : {65536u, 40000u}) {
    for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
      pieces[lane] = {bytes + 1000 * lane, length - static_cast<std::uint32_t>(lane)};
      MD5Update(expected[lane], pieces[lane].bytes, pieces[lane].length);
    }
    GetParam().update(state, pieces);
  }
  for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
    SCOPED_TRACE(lane);
    std::uint8_t digest[16];
    std::uint8_t expectedDigest[16];
    std::uint32_t crc = 0;
    FinishLane(state, lane, crc, digest);
    MD5Final(expectedDigest, expected[lane]);
    EXPECT_EQ(Hex(digest), Hex(expectedDigest));
  }
}

INSTANTIATE_TEST_SUITE_P(EveryVariantThisCpuRuns, LaneKernelTest, testing::ValuesIn(RunnableLaneKernels()),
                         [](const testing::TestParamInfo<LaneKernel>& info) { return std::string(info.param.name); });

// The choice behind UpdateLanes is the best variant this CPU runs, and a whole stream through it
// needs no more than StartLane, UpdateLanes and FinishLane.
TEST(LaneKernels, UpdateLanesUsesTheLastRunnableVariant) {
  const auto variants = RunnableLaneKernels();
  ASSERT_FALSE(variants.empty());
  EXPECT_STREQ(variants.front().name, "portable");
  EXPECT_EQ(LaneCount(), variants.back().lanes);
  LaneState state;
  StartLane(state, 3);
  LanePiece pieces[kMaxLanes];
  pieces[3] = {reinterpret_cast<const std::byte*>("message digest"), 14};
  UpdateLanes(state, pieces);
  std::uint32_t crc = 0;
  std::uint8_t digest[16];
  FinishLane(state, 3, crc, digest);
  EXPECT_EQ(Hex(digest), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(crc, Crc32Of("message digest"));
}

}  // namespace
