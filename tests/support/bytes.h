// Byte strings as the tests write them.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace tarq::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes text(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace tarq::test
