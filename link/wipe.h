// Zeroing of memory that held card data, done so that the compiler may not drop it as a dead
// store before the memory is freed or left.
#pragma once

#include <cstddef>

namespace tarq {

void wipeBytes(void* data, std::size_t size) noexcept;

} // namespace tarq
