#pragma once

#include <cstddef>

// Zero-filled memory for entries and list nodes that lives until the process ends. Aligned for
// any node; nullptr when no memory can be had. Nothing is ever given back during a run.
void* RunAllocate(std::size_t size);
