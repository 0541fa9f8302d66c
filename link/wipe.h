// Zeroing of memory that held card data, done so that the compiler may not drop it as a dead
// store before the memory is freed or left.
#pragma once

#include <cstddef>

namespace tarq {

void wipeBytes(void* data, std::size_t size) noexcept;

// Wipes a buffer when the scope ends, however it ends.
class WipeAtExit {
  public:
    WipeAtExit(void* data, std::size_t size) noexcept : data_(data), size_(size) {}
    ~WipeAtExit() { wipeBytes(data_, size_); }
    WipeAtExit(const WipeAtExit&) = delete;
    WipeAtExit& operator=(const WipeAtExit&) = delete;

  private:
    void* data_;
    std::size_t size_;
};

} // namespace tarq
