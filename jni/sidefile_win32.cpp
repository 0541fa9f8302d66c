#include "jni/bridge.h"
#include "jni/sidefile.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <array>
#include <cstdio>

namespace tarq::javabridge {

// fopen would read the bytes in the ANSI code page, so a directory such as "C:\Kasse\Bjørn\"
// would not be found: open by the UTF-16 name instead. A UTF-8 path never needs more UTF-16
// units than it has bytes, so the side-file path's size bounds the wide one.
std::FILE* openSideFile(const char* utf8Path, const char* mode) noexcept {
    std::array<wchar_t, SIDE_PATH_SIZE> widePath{};
    std::array<wchar_t, 8> wideMode{};
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8Path, -1, widePath.data(),
                                      static_cast<int>(widePath.size()));
    if (n <= 0) return std::fopen(utf8Path, mode);
    for (std::size_t i = 0; i + 1 < wideMode.size() && mode[i] != '\0'; ++i)
        wideMode[i] = static_cast<wchar_t>(mode[i]);
    return _wfopen(widePath.data(), wideMode.data());
}

} // namespace tarq::javabridge
