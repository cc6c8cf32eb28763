// Large blocks: zero-filled and usable to their last byte, whether mapped or from calloc.

#include "store/large_bytes.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(LargeBytes, EveryByteIsZeroAndWritableOnBothSidesOfTheMappedSize) {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  const std::size_t sizes[] = {1, 4096, 4 * kMiB - 1, 4 * kMiB, 4 * kMiB + 1, 9 * kMiB + 7};
  for (const std::size_t size : sizes) {
    SCOPED_TRACE(size);
    const LargeBytes block = LargeZeroedBytes(size);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block.get()) % alignof(std::max_align_t), 0u);
    std::size_t nonZero = 0;
    for (std::size_t i = 0; i < size; ++i) {
      nonZero += block[i] != std::byte{0} ? 1 : 0;
    }
    EXPECT_EQ(nonZero, 0u);
    block[0] = std::byte{1};
    block[size - 1] = std::byte{1};
  }
}

}  // namespace
