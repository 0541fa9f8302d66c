#include "jni/sidefile.h"

namespace tarq::javabridge {

// File names are bytes here; UTF-8 paths open as they stand.
std::FILE* openSideFile(const char* utf8Path, const char* mode) noexcept {
    return std::fopen(utf8Path, mode);
}

} // namespace tarq::javabridge
