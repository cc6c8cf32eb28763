#include "scanner/arena.h"

#include <cstring>
#include <vector>

#include "store/owned.h"

namespace {

constexpr std::size_t kChunkSize = std::size_t{1} << 20;
constexpr std::size_t kAlignment = alignof(std::max_align_t);

constexpr std::size_t Rounded(std::size_t size) { return (size + kAlignment - 1) & ~(kAlignment - 1); }

struct Arena {
  std::vector<Owned<std::byte[]>> chunks;  // kept so the memory stays reachable until exit
  std::byte* next = nullptr;
  std::size_t left = 0;
};
Arena& RunArena() {
  static Arena arena;
  return arena;
}

std::byte* Keep(Arena& arena, Owned<std::byte[]> block) {
  std::byte* bytes = block.get();
  if (bytes != nullptr) {
    arena.chunks.push_back(std::move(block));
  }
  return bytes;
}

}  // namespace

void* RunAllocate(std::size_t size) {
  Arena& arena = RunArena();
  const std::size_t rounded = Rounded(size);
  if (rounded > kChunkSize / 4) {  // large blocks get their own allocation, so no chunk is wasted
    return Keep(arena, ZeroedBytes(rounded));
  }
  if (rounded > arena.left) {
    std::byte* chunk = Keep(arena, ZeroedBytes(kChunkSize));
    if (chunk == nullptr) {
      return nullptr;
    }
    arena.next = chunk;
    arena.left = kChunkSize;
  }
  std::byte* bytes = arena.next;
  arena.next += rounded;
  arena.left -= rounded;
  return bytes;
}

void RunReleaseLast(void* bytes, std::size_t size) {
  Arena& arena = RunArena();
  const std::size_t rounded = Rounded(size);
  std::byte* start = static_cast<std::byte*>(bytes);
  if (rounded <= kChunkSize / 4 && start + rounded == arena.next) {
    std::memset(start, 0, rounded);
    arena.next = start;
    arena.left += rounded;
  }  // a block of its own, or not the last one: kept until exit like everything else
}
