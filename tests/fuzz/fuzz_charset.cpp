// Windows-1252 to modified UTF-8 gives valid modified UTF-8; the way back the same text, in bounds.
#include "jni/charset.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

static bool validModifiedUtf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const std::size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : 0;
        if (b == 0 || n == 0 || i + n > s.size()) return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarq::javabridge;
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const std::string out = cp1252ToModifiedUtf8(in);
    if (!validModifiedUtf8(out)) __builtin_trap();
    const std::string_view text = in.substr(0, in.find('\0')); // up to its first zero byte
    std::vector<char> back(text.size() + 1);
    const std::size_t n = modifiedUtf8ToCp1252(out, back);
    if (n != text.size() || std::string_view(back.data(), n) != text) __builtin_trap();
    // A short buffer takes a cut-off text, terminated.
    std::vector<char> small(1 + size % 7, 'x');
    const std::size_t cut = modifiedUtf8ToCp1252(out, small);
    if (cut >= small.size() || small[cut] != '\0') __builtin_trap();
    std::string utf8;
    modifiedUtf8ToUtf8(out, utf8);
    return 0;
}
