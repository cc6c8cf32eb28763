// Throughput of Crc32Update and MD5Update beside zlib's crc32 and OpenSSL's MD5, each over the
// same 64 MiB of pseudo-random bytes fed in 64 KiB pieces, as the scanner reads a file. After the
// runs it prints the ratios of the medians measured in this one run:
//   ours MD5 / OpenSSL MD5, ours CRC-32 / zlib crc32, ours CRC-32 then MD5 / OpenSSL MD5 alone, and
//   ours CRC-32 + MD5 interleaved in one pass (the scanner's hot loop) / OpenSSL MD5 alone.
// Defaults: 9 repetitions in random interleaving, aggregates only; later flags override them.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <unistd.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench/median_reporter.h"
#include "store/crc32.h"
#include "store/md5.h"

namespace {

constexpr std::size_t kBufferSize = std::size_t{64} << 20;
constexpr std::uint32_t kPieceSize = 65536;

// The same bytes for every benchmark and every run: splitmix64 from a fixed seed.
const std::vector<std::uint8_t>& Buffer() {
  static const std::vector<std::uint8_t> bytes = [] {
    std::vector<std::uint8_t> b(kBufferSize);
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

std::uint32_t OurCrc(const std::vector<std::uint8_t>& bytes) {
  std::uint32_t running = kCrc32Start;
  for (std::size_t at = 0; at < bytes.size(); at += kPieceSize) {
    Crc32Update(running, bytes.data() + at, kPieceSize);
  }
  return running ^ kCrc32Final;
}

std::uint32_t ZlibCrc(const std::vector<std::uint8_t>& bytes) {
  uLong running = crc32(0, Z_NULL, 0);
  for (std::size_t at = 0; at < bytes.size(); at += kPieceSize) {
    running = crc32(running, bytes.data() + at, kPieceSize);
  }
  return static_cast<std::uint32_t>(running);
}

struct Digest {
  std::uint8_t bytes[16];
};

Digest OurMd5(const std::vector<std::uint8_t>& bytes) {
  MD5_CTX context;
  MD5Init(context);
  for (std::size_t at = 0; at < bytes.size(); at += kPieceSize) {
    MD5Update(context, bytes.data() + at, kPieceSize);
  }
  Digest d;
  MD5Final(d.bytes, context);
  return d;
}

// The scanner's loop over a file: each piece goes through the CRC, then through MD5.
Digest OurCrcThenMd5(const std::vector<std::uint8_t>& bytes, std::uint32_t& crc) {
  std::uint32_t running = kCrc32Start;
  MD5_CTX context;
  MD5Init(context);
  for (std::size_t at = 0; at < bytes.size(); at += kPieceSize) {
    Crc32Update(running, bytes.data() + at, kPieceSize);
    MD5Update(context, bytes.data() + at, kPieceSize);
  }
  Digest d;
  MD5Final(d.bytes, context);
  crc = running ^ kCrc32Final;
  return d;
}

// The scanner's hot loop: both checksums of each piece in one pass, the CRC's lookups interleaved
// with the MD5 rounds.
Digest OurInterleaved(const std::vector<std::uint8_t>& bytes, std::uint32_t& crc) {
  std::uint32_t running = kCrc32Start;
  MD5_CTX context;
  MD5Init(context);
  for (std::size_t at = 0; at < bytes.size(); at += kPieceSize) {
    Crc32AndMD5Update(running, context, bytes.data() + at, kPieceSize);
  }
  Digest d;
  MD5Final(d.bytes, context);
  crc = running ^ kCrc32Final;
  return d;
}

Digest OpenSslMd5(EVP_MD_CTX* context, const std::vector<std::uint8_t>& bytes) {
  Digest d;
  unsigned int size = 0;
  EVP_DigestInit_ex(context, EVP_md5(), nullptr);
  for (std::size_t at = 0; at < bytes.size(); at += kPieceSize) {
    EVP_DigestUpdate(context, bytes.data() + at, kPieceSize);
  }
  EVP_DigestFinal_ex(context, d.bytes, &size);
  return d;
}

void Count(benchmark::State& state) {
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kBufferSize));
}

void BM_Crc32Ours(benchmark::State& state) {
  const auto& bytes = Buffer();
  for (auto _ : state) {
    benchmark::DoNotOptimize(OurCrc(bytes));
  }
  Count(state);
}

void BM_Crc32Zlib(benchmark::State& state) {
  const auto& bytes = Buffer();
  for (auto _ : state) {
    benchmark::DoNotOptimize(ZlibCrc(bytes));
  }
  Count(state);
}

void BM_Md5Ours(benchmark::State& state) {
  const auto& bytes = Buffer();
  for (auto _ : state) {
    Digest d = OurMd5(bytes);
    benchmark::DoNotOptimize(d);
  }
  Count(state);
}

void BM_Md5OpenSsl(benchmark::State& state) {
  const auto& bytes = Buffer();
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  for (auto _ : state) {
    Digest d = OpenSslMd5(context, bytes);
    benchmark::DoNotOptimize(d);
  }
  EVP_MD_CTX_free(context);
  Count(state);
}

void BM_Crc32ThenMd5Ours(benchmark::State& state) {
  const auto& bytes = Buffer();
  for (auto _ : state) {
    std::uint32_t crc = 0;
    Digest d = OurCrcThenMd5(bytes, crc);
    benchmark::DoNotOptimize(d);
    benchmark::DoNotOptimize(crc);
  }
  Count(state);
}

void BM_InterleavedOurs(benchmark::State& state) {
  const auto& bytes = Buffer();
  for (auto _ : state) {
    std::uint32_t crc = 0;
    Digest d = OurInterleaved(bytes, crc);
    benchmark::DoNotOptimize(d);
    benchmark::DoNotOptimize(crc);
  }
  Count(state);
}

BENCHMARK(BM_Crc32Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc32Zlib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Md5Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Md5OpenSsl)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc32ThenMd5Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InterleavedOurs)->Unit(benchmark::kMillisecond);

// A benchmark whose results differ from the reference's measures nothing worth comparing.
bool ResultsAgree() {
  const auto& bytes = Buffer();
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  const Digest reference = OpenSslMd5(context, bytes);
  EVP_MD_CTX_free(context);
  std::uint32_t pairCrc = 0;
  std::uint32_t interleavedCrc = 0;
  const Digest ours = OurMd5(bytes);
  const Digest pair = OurCrcThenMd5(bytes, pairCrc);
  const Digest interleaved = OurInterleaved(bytes, interleavedCrc);
  const std::uint32_t crc = ZlibCrc(bytes);
  bool agree = true;
  if (OurCrc(bytes) != crc || pairCrc != crc || interleavedCrc != crc) {
    std::printf("CRC-32 differs from zlib's\n");
    agree = false;
  }
  if (std::memcmp(ours.bytes, reference.bytes, 16) != 0 || std::memcmp(pair.bytes, reference.bytes, 16) != 0 ||
      std::memcmp(interleaved.bytes, reference.bytes, 16) != 0) {
    std::printf("MD5 differs from OpenSSL's\n");
    agree = false;
  }
  return agree;
}

}  // namespace

int main(int argc, char** argv) {
  if (!InitializeBenchmarks(argc, argv)) {
    return 1;
  }
  if (!ResultsAgree()) {
    return 1;
  }
  // Colour only on a terminal, so that a saved run reads as plain text.
  MedianReporter reporter(isatty(STDOUT_FILENO) != 0 ? benchmark::ConsoleReporter::OO_ColorTabular
                                                     : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::printf("\nRatios of the medians, higher is better for ours (1 MB = 10^6 bytes):\n");
  PrintRatio(reporter.Medians, "ours MD5 / OpenSSL MD5", "BM_Md5Ours", "BM_Md5OpenSsl");
  PrintRatio(reporter.Medians, "ours CRC-32 / zlib crc32", "BM_Crc32Ours", "BM_Crc32Zlib");
  PrintRatio(reporter.Medians, "ours CRC-32 then MD5 / OpenSSL MD5", "BM_Crc32ThenMd5Ours", "BM_Md5OpenSsl");
  PrintRatio(reporter.Medians, "ours CRC-32 + MD5 interleaved / OpenSSL MD5", "BM_InterleavedOurs", "BM_Md5OpenSsl");
  return 0;
}
