// Aggregate throughput of the lane kernel (CRC-32 and MD5 of many streams side by side) beside
// OpenSSL's single-stream MD5, over the same 64 MiB of pseudo-random bytes. Each variant this CPU
// runs hashes as many streams as it has lanes (16 with AVX-512, 8 with AVX2, 1 portable), every
// stream an equal share of the bytes, fed one 64 KiB piece per lane per call, as the scan pipeline
// feeds it. The run ends with the ratios of the medians measured in it: each variant / OpenSSL MD5.
// Defaults: 9 repetitions in random interleaving, aggregates only; later flags override them.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/median_reporter.h"
#include "store/crc32.h"
#include "store/md5.h"
#include "store/md5_lanes.h"

namespace {

constexpr std::size_t kBufferSize = std::size_t{64} << 20;
constexpr std::uint32_t kPieceSize = 65536;

// The same bytes for every benchmark and every run: splitmix64 from a fixed seed.
const std::vector<std::byte>& Buffer() {
  static const std::vector<std::byte> bytes = [] {
    std::vector<std::byte> b(kBufferSize);
    std::uint64_t seed = 0x9E3779B97F4A7C15u;
    for (std::size_t i = 0; i < b.size(); i += 8) {
      std::uint64_t z = (seed += 0x9E3779B97F4A7C15u);
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
      z ^= z >> 31;
      std::memcpy(b.data() + i, &z, 8);
    }
    return b;
  }();
  return bytes;
}

struct Sums {
  std::uint32_t crc;
  std::uint8_t md5[16];
};

// Stream k of `streams` is the k-th equal share of the buffer.
std::vector<Sums> HashWithLanes(const LaneKernel& kernel, std::size_t streams) {
  const std::byte* bytes = Buffer().data();
  const std::size_t share = kBufferSize / streams;
  LaneState state;
  for (std::size_t lane = 0; lane < streams; ++lane) {
    StartLane(state, lane);
  }
  LanePiece pieces[kMaxLanes];
  for (std::size_t at = 0; at < share; at += kPieceSize) {
    for (std::size_t lane = 0; lane < streams; ++lane) {
      pieces[lane] = {bytes + lane * share + at, kPieceSize};
    }
    kernel.update(state, pieces);
  }
  std::vector<Sums> sums(streams);
  for (std::size_t lane = 0; lane < streams; ++lane) {
    FinishLane(state, lane, sums[lane].crc, sums[lane].md5);
  }
  return sums;
}

Sums OpenSslMd5(EVP_MD_CTX* context, const std::byte* bytes, std::size_t length) {
  Sums sums{};
  unsigned int size = 0;
  EVP_DigestInit_ex(context, EVP_md5(), nullptr);
  for (std::size_t at = 0; at < length; at += kPieceSize) {
    EVP_DigestUpdate(context, bytes + at, kPieceSize);
  }
  EVP_DigestFinal_ex(context, sums.md5, &size);
  return sums;
}

void Count(benchmark::State& state) {
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kBufferSize));
}

void BM_Md5OpenSsl(benchmark::State& state) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  for (auto _ : state) {
    Sums sums = OpenSslMd5(context, Buffer().data(), kBufferSize);
    benchmark::DoNotOptimize(sums);
  }
  EVP_MD_CTX_free(context);
  Count(state);
}

std::string BenchmarkName(const LaneKernel& kernel) {
  return std::string("BM_Lanes_") + kernel.name;
}

// A variant whose sums differ from the single-stream code's (and OpenSSL's MD5) measures nothing.
bool ResultsAgree(const LaneKernel& kernel) {
  const std::size_t share = kBufferSize / kernel.lanes;
  const std::vector<Sums> sums = HashWithLanes(kernel, kernel.lanes);
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  bool agree = true;
  for (std::size_t lane = 0; lane < kernel.lanes; ++lane) {
    const std::byte* bytes = Buffer().data() + lane * share;
    std::uint32_t crc = kCrc32Start;
    Crc32Update(crc, bytes, static_cast<std::uint32_t>(share));
    const Sums reference = OpenSslMd5(context, bytes, share);
    if (sums[lane].crc != (crc ^ kCrc32Final) || std::memcmp(sums[lane].md5, reference.md5, 16) != 0) {
      std::printf("%s: lane %zu differs from the single-stream sums\n", kernel.name, lane);
      agree = false;
    }
  }
  EVP_MD_CTX_free(context);
  return agree;
}

}  // namespace

int main(int argc, char** argv) {
  if (!InitializeBenchmarks(argc, argv)) {
    return 1;
  }
  benchmark::RegisterBenchmark("BM_Md5OpenSsl", BM_Md5OpenSsl)->Unit(benchmark::kMillisecond);
  for (const LaneKernel& kernel : RunnableLaneKernels()) {
    if (!ResultsAgree(kernel)) {
      return 1;
    }
    benchmark::RegisterBenchmark(BenchmarkName(kernel).c_str(), [&kernel](benchmark::State& state) {
      for (auto _ : state) {
        std::vector<Sums> sums = HashWithLanes(kernel, kernel.lanes);
        benchmark::DoNotOptimize(sums.data());
      }
      Count(state);
    })->Unit(benchmark::kMillisecond);
  }
  // Colour only on a terminal, so that a saved run reads as plain text.
  MedianReporter reporter(isatty(STDOUT_FILENO) != 0 ? benchmark::ConsoleReporter::OO_ColorTabular
                                                     : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::printf("\nAggregate CRC-32 + MD5 of all lanes / OpenSSL's single-stream MD5, ratios of the medians\n");
  std::printf("(1 MB = 10^6 bytes; the variant in use here: %s, %zu lanes):\n", RunnableLaneKernels().back().name,
              LaneCount());
  for (const LaneKernel& kernel : RunnableLaneKernels()) {
    const std::string what =
        std::string(kernel.name) + ", " + std::to_string(kernel.lanes) + (kernel.lanes == 1 ? " stream" : " streams");
    PrintRatio(reporter.Medians, what.c_str(), BenchmarkName(kernel), "BM_Md5OpenSsl");
  }
  return 0;
}
