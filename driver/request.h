// Storing the cash register's texts in the fixed fields of the payment request.
#pragma once

// Also for the layer above (the Java bridge): its own copies of card texts are wiped with it.
#include "link/wipe.h"

#include <algorithm>
#include <cstddef>
#include <span>

namespace tarq {

// Clears the field to zero bytes and copies the text into it without terminator: at most
// field.size() characters, and never a byte of the caller's text beyond its terminator or beyond
// what the field holds. A null text counts as empty.
inline void copyRequestText(std::span<char> field, const char* text) {
    std::fill(field.begin(), field.end(), '\0');
    if (!text) return;
    for (std::size_t i = 0; i < field.size() && text[i] != '\0'; ++i)
        field[i] = text[i];
}

} // namespace tarq
