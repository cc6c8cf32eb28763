#pragma once

#include <cstddef>

// Zero-filled memory for entries and list nodes that lives until the process ends. Aligned for
// any node; nullptr when no memory can be had.
void* RunAllocate(std::size_t size);

// Gives back the most recent allocation, which must be `bytes` of `size` bytes; it is zeroed again
// for the next one. Lets a caller build an entry before it knows whether it will keep it.
void RunReleaseLast(void* bytes, std::size_t size);
