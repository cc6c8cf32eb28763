#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "store/crc32.h"
#include "store/md5.h"

namespace {

std::uint32_t Crc(const std::string& bytes) {
  std::uint32_t running = kCrc32Start;
  Crc32Update(running, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  return running ^ kCrc32Final;
}

std::string Hex(const std::uint8_t digest[16]) {
  char text[33];
  for (int i = 0; i < 16; ++i) {
    std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
  }
  return text;
}

std::string Md5(const std::string& bytes) {
  MD5_CTX context;
  MD5Init(context);
  MD5Update(context, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  std::uint8_t digest[16];
  MD5Final(digest, context);
  return Hex(digest);
}

// Feeds bytes in pieces of `piece` bytes (the last one shorter) to both checksums.
std::pair<std::uint32_t, std::string> InPieces(const std::string& bytes, std::size_t piece) {
  std::uint32_t running = kCrc32Start;
  MD5_CTX context;
  MD5Init(context);
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    const auto length = static_cast<std::uint32_t>(std::min(piece, bytes.size() - at));
    Crc32Update(running, bytes.data() + at, length);
    MD5Update(context, bytes.data() + at, length);
  }
  std::uint8_t digest[16];
  MD5Final(digest, context);
  return {running ^ kCrc32Final, Hex(digest)};
}

std::string Pattern(std::size_t n) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) {
    bytes[i] = static_cast<char>(((i * 131) + (i >> 8)) & 0xFF);
  }
  return bytes;
}

TEST(Crc32, CheckValues) {
  EXPECT_EQ(Crc("123456789"), 0xCBF43926u);
  EXPECT_EQ(Crc(""), 0u);
  EXPECT_EQ(Crc("abc"), 0x352441C2u);
  EXPECT_EQ(Crc(std::string("abc", 4)), 0xA75D6850u);  // a path key covers the NUL
}

TEST(Crc32, LengthZeroLeavesRunningValue) {
  std::uint32_t running = 0x12345678u;
  Crc32Update(running, "x", 0);
  EXPECT_EQ(running, 0x12345678u);
}

// Crc32Update takes long runs as interleaved 32-byte rows, then 8-byte words, then single bytes;
// every length up to several rows, at every offset within a word, must give the byte-wise loop's
// register, from a start value that is not the usual one.
TEST(Crc32, MatchesTheBytewiseLoopAtEveryLengthAndOffset) {
  const std::string bytes = Pattern(300);
  for (std::size_t offset = 0; offset < 8; ++offset) {
    for (std::size_t length = 0; offset + length <= bytes.size(); ++length) {
      std::uint32_t running = 0x5A5A1234u;
      Crc32Update(running, bytes.data() + offset, static_cast<std::uint32_t>(length));
      EXPECT_EQ(running, crc32_detail::Bytewise(0x5A5A1234u, bytes.data() + offset, length))
          << "offset " << offset << ", length " << length;
    }
  }
}

TEST(Md5, RfcValues) {
  EXPECT_EQ(Md5(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
}

// Reference values from md5sum and a standard CRC-32 tool over the same bytes.
TEST(Checksums, LengthsAroundTheBlockSize) {
  struct Case {
    std::size_t length;
    const char* md5;
    std::uint32_t crc;
  };
  const Case cases[] = {
      {55, "ef1772b6dff9a122358552954ad0df65", 0xaadfe34eu},  // closes in one block
      {56, "3b0c8ac703f828b04c6c197006d17218", 0x79790d37u},  // needs one more block
      {63, "b06521f39153d618550606be297466d5", 0x6824c5deu},
      {64, "014842d480b571495a4a0363793f7367", 0x89b46555u},  // fills a block, closes in the next
      {65, "c743a45e0d2e6a95cb859adae0248435", 0xf33faf5du},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    const std::string bytes(c.length, 'a');
    EXPECT_EQ(Md5(bytes), c.md5);
    EXPECT_EQ(Crc(bytes), c.crc);
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{64}}) {
      const auto [crc, md5] = InPieces(bytes, piece);
      EXPECT_EQ(crc, c.crc);
      EXPECT_EQ(md5, c.md5);
    }
  }
}

TEST(Checksums, AnySplitGivesTheSameResult) {
  const std::string bytes = Pattern(200003);
  const char* md5 = "fcef0130ffeadb16736772e668dbcec9";
  const std::uint32_t crc = 0x96b89f59u;
  EXPECT_EQ(Md5(bytes), md5);
  EXPECT_EQ(Crc(bytes), crc);
  for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{17}, std::size_t{65536}}) {
    SCOPED_TRACE(piece);
    const auto [pieceCrc, pieceMd5] = InPieces(bytes, piece);
    EXPECT_EQ(pieceCrc, crc);
    EXPECT_EQ(pieceMd5, md5);
  }
}

// The interleaved update gives what the two separate updates give, whole blocks or not, with
// bytes already waiting in the MD5 block buffer or not.
TEST(Checksums, InterleavedUpdateEqualsTheTwoUpdates) {
  const std::string bytes = Pattern(64 + 131070);
  for (std::size_t before : {std::size_t{0}, std::size_t{5}, std::size_t{64}}) {
    for (std::size_t length : {0u, 1u, 63u, 64u, 65u, 128u, 1000u, 65536u, 65537u, 131070u}) {
      SCOPED_TRACE(std::to_string(before) + " then " + std::to_string(length));
      std::uint32_t runningA = kCrc32Start;
      std::uint32_t runningB = kCrc32Start;
      MD5_CTX a;
      MD5_CTX b;
      MD5Init(a);
      MD5Init(b);
      const auto first = static_cast<std::uint32_t>(before);
      const auto second = static_cast<std::uint32_t>(length);
      Crc32Update(runningA, bytes.data(), first);
      MD5Update(a, bytes.data(), first);
      Crc32Update(runningA, bytes.data() + before, second);
      MD5Update(a, bytes.data() + before, second);
      Crc32AndMD5Update(runningB, b, bytes.data(), first);
      Crc32AndMD5Update(runningB, b, bytes.data() + before, second);
      EXPECT_EQ(runningA, runningB);
      std::uint8_t digestA[16];
      std::uint8_t digestB[16];
      MD5Final(digestA, a);
      MD5Final(digestB, b);
      EXPECT_EQ(Hex(digestA), Hex(digestB));
    }
  }
}

// 2^29 + 3 bytes make the bit count pass 2^32: the carry into the high half must be right, both
// when one call brings it (length >> 29) and when it comes from the low half wrapping.
TEST(Checksums, BitCountCarryPast512MiB) {
  constexpr std::size_t kLength = (std::size_t{1} << 29) + 3;
  const char* md5 = "f477dd2300ffb741b990c4eac208d915";  // md5sum of that many zero bytes
  const std::uint32_t crc = 0x12186fa9u;
  std::vector<std::uint8_t> zeros(kLength, 0);

  MD5_CTX whole;
  MD5Init(whole);
  MD5Update(whole, zeros.data(), static_cast<std::uint32_t>(kLength));
  std::uint8_t digest[16];
  MD5Final(digest, whole);
  EXPECT_EQ(Hex(digest), md5);

  std::uint32_t running = kCrc32Start;
  MD5_CTX pieces;
  MD5Init(pieces);
  for (std::size_t at = 0; at < kLength; at += 65536) {
    const auto length = static_cast<std::uint32_t>(std::min<std::size_t>(65536, kLength - at));
    Crc32Update(running, zeros.data() + at, length);
    MD5Update(pieces, zeros.data() + at, length);
  }
  MD5Final(digest, pieces);
  EXPECT_EQ(Hex(digest), md5);
  EXPECT_EQ(running ^ kCrc32Final, crc);
}

}  // namespace
