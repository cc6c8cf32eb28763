#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

struct FreeBytes {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, FreeBytes>;

// Zero-filled bytes; nullptr when the memory cannot be had (the caller decides what follows).
inline Owned<std::byte[]> ZeroedBytes(std::size_t n) {
  return Owned<std::byte[]>(static_cast<std::byte*>(std::calloc(n == 0 ? 1 : n, 1)));
}
