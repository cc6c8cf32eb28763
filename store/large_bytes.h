#pragma once

// Zero-filled blocks of many megabytes that live until the process ends or a little less: the
// database image, the list nodes of a load, the tables of a save. Each 4 KiB page of fresh memory
// costs a page fault at first touch, which is slow on virtual machines, so on Linux a large block is
// mapped in transparent huge pages (2 MiB, one fault each) where the system offers them. Small
// blocks, and systems without that facility, get plain calloc memory.

#include <cstddef>
#include <memory>

struct ReleaseLargeBytes {
  std::size_t mappedLength = 0;  // 0: the block came from calloc
  void operator()(std::byte* bytes) const;
};
using LargeBytes = std::unique_ptr<std::byte[], ReleaseLargeBytes>;

// n zero-filled bytes (at least one), aligned for any object; nullptr when no memory can be had.
LargeBytes LargeZeroedBytes(std::size_t n);
