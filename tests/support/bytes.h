// Byte strings as the tests write them.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace tarq::test {

using Bytes = std::vector<std::uint8_t>;

// The characters of s as bytes.
inline Bytes text(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

} // namespace tarq::test
