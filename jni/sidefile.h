// Opening a side file by the path the Java side gave: UTF-8 bytes on every platform.
#pragma once

#include <cstdio>

namespace tarq::javabridge {

// std::fopen with a UTF-8 path; nullptr when the file cannot be opened.
std::FILE* openSideFile(const char* utf8Path, const char* mode) noexcept;

} // namespace tarq::javabridge
