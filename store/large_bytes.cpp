#include "store/large_bytes.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Below this a block takes too few pages for their faults to matter, and calloc memory keeps the
// address sanitizer's view of its ends.
constexpr std::size_t kMappedFrom = std::size_t{4} << 20;

#if defined(__linux__) && defined(MADV_HUGEPAGE)
// Maps n bytes rounded up to whole huge pages, starting on a huge-page boundary (the kernel only
// uses huge pages for aligned ranges), and asks for huge pages; the slack is given back at once.
std::byte* MapAligned(std::size_t length) {
  void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) {
    return nullptr;
  }
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~(std::uintptr_t{kHugePage} - 1);
  if (aligned != start) {
    (void)munmap(raw, aligned - start);  // the unused head; cannot fail for a range just mapped
  }
  if (const std::size_t tail = start + kHugePage - aligned; tail != 0) {
    (void)munmap(reinterpret_cast<void*>(aligned + length), tail);
  }
  (void)madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);  // best effort: 4 KiB pages work too
  return reinterpret_cast<std::byte*>(aligned);
}
#endif

}  // namespace

void ReleaseLargeBytes::operator()(std::byte* bytes) const {
  if (mappedLength == 0) {
    std::free(bytes);
  } else {
    (void)munmap(bytes, mappedLength);
  }
}

LargeBytes LargeZeroedBytes(std::size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (n >= kMappedFrom && n <= SIZE_MAX - 2 * kHugePage) {
    const std::size_t length = (n + kHugePage - 1) & ~(kHugePage - 1);
    if (std::byte* mapped = MapAligned(length); mapped != nullptr) {
      return LargeBytes(mapped, ReleaseLargeBytes{length});
    }
  }
#endif
  return LargeBytes(static_cast<std::byte*>(std::calloc(n == 0 ? 1 : n, 1)), ReleaseLargeBytes{});
}
