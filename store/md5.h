#pragma once

// MD5 message digest, streamed: MD5Init, any number of MD5Update calls in any split, MD5Final.
// The digest is the four state words in order, each little-endian: the usual digest byte order.

#include <cstdint>

struct MD5_CTX {
  std::uint32_t state[4];  // chaining value A, B, C, D
  std::uint32_t count[2];  // bits absorbed modulo 2^64: low half, high half
  std::uint8_t buffer[64];  // (count / 8) mod 64 bytes of an incomplete block
};

void MD5Init(MD5_CTX& context);
void MD5Update(MD5_CTX& context, const void* bytes, std::uint32_t length);
// Both checksums of one piece of content: exactly Crc32Update(running, ...) followed by
// MD5Update(context, ...), with the CRC's table lookups interleaved with the MD5 rounds of each
// whole block, where they cost almost nothing.
void Crc32AndMD5Update(std::uint32_t& running, MD5_CTX& context, const void* bytes, std::uint32_t length);
// Closes the message and writes the digest; the context needs MD5Init before further use.
void MD5Final(std::uint8_t digest[16], MD5_CTX& context);
// The compression of one 64-byte block into the state.
void MD5Transform(std::uint32_t state[4], const std::uint8_t block[64]);
