#include "store/md5.h"

#include <cstddef>
#include <cstring>

#include "store/byte_order.h"
#include "store/crc32.h"

namespace {

template <int S>
inline std::uint32_t Rotl(std::uint32_t v) {
  return (v << S) | (v >> (32 - S));
}

// The four rounds' step functions. F and G are written in their cheaper equivalent forms:
// F = z ^ (x & (y ^ z)); G adds its two disjoint halves separately, so the half that does not
// depend on the previous step's result can be computed early.
template <int S>
inline void StepF(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x, std::uint32_t t) {
  a += x + t + (d ^ (b & (c ^ d)));
  a = b + Rotl<S>(a);
}
template <int S>
inline void StepG(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x, std::uint32_t t) {
  a += x + t + (c & ~d);
  a += b & d;
  a = b + Rotl<S>(a);
}
template <int S>
inline void StepH(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x, std::uint32_t t) {
  a += x + t + (b ^ c ^ d);
  a = b + Rotl<S>(a);
}
template <int S>
inline void StepI(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x, std::uint32_t t) {
  a += x + t + (c ^ (b | ~d));
  a = b + Rotl<S>(a);
}

inline std::uint32_t Word(const std::uint8_t* block, int i) {
  return LoadLE<std::uint32_t>(reinterpret_cast<const std::byte*>(block) + 4 * i);
}

// Compresses count consecutive blocks into state. The chaining value stays in registers from one
// block to the next and the message words are read where they lie, so a long run of whole blocks
// costs only the rounds themselves. With kWithCrc the block's bytes are also folded into *crc, one
// 8-byte word after every eight steps: MD5 is one long dependency chain that leaves most of the
// machine idle, and the CRC's independent table lookups fill it.
template <bool kWithCrc>
void Compress(std::uint32_t state[4], const std::uint8_t* blocks, std::size_t count, std::uint32_t* crc) {
  std::uint32_t running = kWithCrc ? *crc : 0;
  const auto fold = [](std::uint32_t& into, const std::uint8_t* x, int word) {
    if constexpr (kWithCrc) {
      into = crc32_detail::Fold(crc32_detail::kSlices8, into, reinterpret_cast<const std::byte*>(x) + 8 * word);
    }
  };
  std::uint32_t a = state[0];
  std::uint32_t b = state[1];
  std::uint32_t c = state[2];
  std::uint32_t d = state[3];
  for (; count != 0; --count, blocks += 64) {
    const std::uint8_t* x = blocks;
    const std::uint32_t a0 = a;
    const std::uint32_t b0 = b;
    const std::uint32_t c0 = c;
    const std::uint32_t d0 = d;
    StepF<7>(a, b, c, d, Word(x, 0), 0xd76aa478);
    StepF<12>(d, a, b, c, Word(x, 1), 0xe8c7b756);
    StepF<17>(c, d, a, b, Word(x, 2), 0x242070db);
    StepF<22>(b, c, d, a, Word(x, 3), 0xc1bdceee);
    StepF<7>(a, b, c, d, Word(x, 4), 0xf57c0faf);
    StepF<12>(d, a, b, c, Word(x, 5), 0x4787c62a);
    StepF<17>(c, d, a, b, Word(x, 6), 0xa8304613);
    StepF<22>(b, c, d, a, Word(x, 7), 0xfd469501);
    fold(running, x, 0);
    StepF<7>(a, b, c, d, Word(x, 8), 0x698098d8);
    StepF<12>(d, a, b, c, Word(x, 9), 0x8b44f7af);
    StepF<17>(c, d, a, b, Word(x, 10), 0xffff5bb1);
    StepF<22>(b, c, d, a, Word(x, 11), 0x895cd7be);
    StepF<7>(a, b, c, d, Word(x, 12), 0x6b901122);
    StepF<12>(d, a, b, c, Word(x, 13), 0xfd987193);
    StepF<17>(c, d, a, b, Word(x, 14), 0xa679438e);
    StepF<22>(b, c, d, a, Word(x, 15), 0x49b40821);
    fold(running, x, 1);

    StepG<5>(a, b, c, d, Word(x, 1), 0xf61e2562);
    StepG<9>(d, a, b, c, Word(x, 6), 0xc040b340);
    StepG<14>(c, d, a, b, Word(x, 11), 0x265e5a51);
    StepG<20>(b, c, d, a, Word(x, 0), 0xe9b6c7aa);
    StepG<5>(a, b, c, d, Word(x, 5), 0xd62f105d);
    StepG<9>(d, a, b, c, Word(x, 10), 0x02441453);
    StepG<14>(c, d, a, b, Word(x, 15), 0xd8a1e681);
    StepG<20>(b, c, d, a, Word(x, 4), 0xe7d3fbc8);
    fold(running, x, 2);
    StepG<5>(a, b, c, d, Word(x, 9), 0x21e1cde6);
    StepG<9>(d, a, b, c, Word(x, 14), 0xc33707d6);
    StepG<14>(c, d, a, b, Word(x, 3), 0xf4d50d87);
    StepG<20>(b, c, d, a, Word(x, 8), 0x455a14ed);
    StepG<5>(a, b, c, d, Word(x, 13), 0xa9e3e905);
    StepG<9>(d, a, b, c, Word(x, 2), 0xfcefa3f8);
    StepG<14>(c, d, a, b, Word(x, 7), 0x676f02d9);
    StepG<20>(b, c, d, a, Word(x, 12), 0x8d2a4c8a);
    fold(running, x, 3);

    StepH<4>(a, b, c, d, Word(x, 5), 0xfffa3942);
    StepH<11>(d, a, b, c, Word(x, 8), 0x8771f681);
    StepH<16>(c, d, a, b, Word(x, 11), 0x6d9d6122);
    StepH<23>(b, c, d, a, Word(x, 14), 0xfde5380c);
    StepH<4>(a, b, c, d, Word(x, 1), 0xa4beea44);
    StepH<11>(d, a, b, c, Word(x, 4), 0x4bdecfa9);
    StepH<16>(c, d, a, b, Word(x, 7), 0xf6bb4b60);
    StepH<23>(b, c, d, a, Word(x, 10), 0xbebfbc70);
    fold(running, x, 4);
    StepH<4>(a, b, c, d, Word(x, 13), 0x289b7ec6);
    StepH<11>(d, a, b, c, Word(x, 0), 0xeaa127fa);
    StepH<16>(c, d, a, b, Word(x, 3), 0xd4ef3085);
    StepH<23>(b, c, d, a, Word(x, 6), 0x04881d05);
    StepH<4>(a, b, c, d, Word(x, 9), 0xd9d4d039);
    StepH<11>(d, a, b, c, Word(x, 12), 0xe6db99e5);
    StepH<16>(c, d, a, b, Word(x, 15), 0x1fa27cf8);
    StepH<23>(b, c, d, a, Word(x, 2), 0xc4ac5665);
    fold(running, x, 5);

    StepI<6>(a, b, c, d, Word(x, 0), 0xf4292244);
    StepI<10>(d, a, b, c, Word(x, 7), 0x432aff97);
    StepI<15>(c, d, a, b, Word(x, 14), 0xab9423a7);
    StepI<21>(b, c, d, a, Word(x, 5), 0xfc93a039);
    StepI<6>(a, b, c, d, Word(x, 12), 0x655b59c3);
    StepI<10>(d, a, b, c, Word(x, 3), 0x8f0ccc92);
    StepI<15>(c, d, a, b, Word(x, 10), 0xffeff47d);
    StepI<21>(b, c, d, a, Word(x, 1), 0x85845dd1);
    fold(running, x, 6);
    StepI<6>(a, b, c, d, Word(x, 8), 0x6fa87e4f);
    StepI<10>(d, a, b, c, Word(x, 15), 0xfe2ce6e0);
    StepI<15>(c, d, a, b, Word(x, 6), 0xa3014314);
    StepI<21>(b, c, d, a, Word(x, 13), 0x4e0811a1);
    StepI<6>(a, b, c, d, Word(x, 4), 0xf7537e82);
    StepI<10>(d, a, b, c, Word(x, 11), 0xbd3af235);
    StepI<15>(c, d, a, b, Word(x, 2), 0x2ad7d2bb);
    StepI<21>(b, c, d, a, Word(x, 9), 0xeb86d391);
    fold(running, x, 7);

    a += a0;
    b += b0;
    c += c0;
    d += d0;
  }
  if constexpr (kWithCrc) {
    *crc = running;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

}  // namespace

void MD5Transform(std::uint32_t state[4], const std::uint8_t block[64]) {
  Compress<false>(state, block, 1, nullptr);
}

void MD5Init(MD5_CTX& context) {
  context.state[0] = 0x67452301;
  context.state[1] = 0xEFCDAB89;
  context.state[2] = 0x98BADCFE;
  context.state[3] = 0x10325476;
  context.count[0] = 0;
  context.count[1] = 0;
}

void MD5Update(MD5_CTX& context, const void* bytes, std::uint32_t length) {
  const std::uint8_t* input = static_cast<const std::uint8_t*>(bytes);
  const std::uint32_t oldLow = context.count[0];
  context.count[0] = oldLow + (length << 3);
  if (context.count[0] < oldLow) {
    ++context.count[1];
  }
  context.count[1] += length >> 29;

  const std::uint32_t waiting = (oldLow >> 3) & 63u;
  if (waiting != 0) {
    const std::uint32_t room = 64 - waiting;
    if (length < room) {
      std::memcpy(context.buffer + waiting, input, length);
      return;
    }
    std::memcpy(context.buffer + waiting, input, room);
    MD5Transform(context.state, context.buffer);
    input += room;
    length -= room;
  }
  Compress<false>(context.state, input, length / 64, nullptr);
  input += length & ~63u;
  length &= 63u;
  if (length != 0) {
    std::memcpy(context.buffer, input, length);
  }
}

void Crc32AndMD5Update(std::uint32_t& running, MD5_CTX& context, const void* bytes, std::uint32_t length) {
  const std::uint32_t waiting = (context.count[0] >> 3) & 63u;
  const std::uint32_t blocks = length / 64;
  if (waiting != 0 || blocks == 0) {  // no whole block lies where MD5 takes it from the input
    Crc32Update(running, bytes, length);
    MD5Update(context, bytes, length);
    return;
  }
  const std::uint32_t whole = blocks * 64;
  const std::uint32_t oldLow = context.count[0];
  context.count[0] = oldLow + (whole << 3);
  if (context.count[0] < oldLow) {
    ++context.count[1];
  }
  context.count[1] += whole >> 29;
  const auto* input = static_cast<const std::uint8_t*>(bytes);
  Compress<true>(context.state, input, blocks, &running);
  Crc32Update(running, input + whole, length - whole);
  MD5Update(context, input + whole, length - whole);
}

void MD5Final(std::uint8_t digest[16], MD5_CTX& context) {
  const std::uint32_t waiting = (context.count[0] >> 3) & 63u;
  context.buffer[waiting] = 0x80;
  if (waiting >= 56) {
    std::memset(context.buffer + waiting + 1, 0, 63 - waiting);
    MD5Transform(context.state, context.buffer);
    std::memset(context.buffer, 0, 56);
  } else {
    std::memset(context.buffer + waiting + 1, 0, 55 - waiting);
  }
  std::byte* tail = reinterpret_cast<std::byte*>(context.buffer + 56);
  StoreLE(tail, context.count[0]);
  StoreLE(tail + 4, context.count[1]);
  MD5Transform(context.state, context.buffer);
  for (int i = 0; i < 4; ++i) {
    StoreLE(reinterpret_cast<std::byte*>(digest + 4 * i), context.state[i]);
  }
}
