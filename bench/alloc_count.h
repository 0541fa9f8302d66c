// Counts the program's heap allocations and the blocks still live, for the benchmarks' heap
// figures. Include in exactly one file of a benchmark program: it replaces operator new/delete.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

namespace bench {
inline std::size_t allocations = 0;
inline long liveBlocks = 0;
} // namespace bench

void* operator new(std::size_t size) {
    ++bench::allocations;
    ++bench::liveBlocks;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++bench::allocations;
    ++bench::liveBlocks;
    return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept {
    if (p) --bench::liveBlocks;
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    if (p) --bench::liveBlocks;
    std::free(p);
}
