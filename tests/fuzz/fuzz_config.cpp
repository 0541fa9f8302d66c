// Writes the fuzzer's bytes as tarqRS.ini and reads it the way open does, plus one small-buffer
// read of each kind: the reader must stay inside its buffers whatever the file holds (long lines,
// no newline, zero bytes, unbalanced quotes), and the device path must come back terminated.
#include "core/config.h"
#include "core/context.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {
std::string path;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // In memory where there is such a file system: the file is written for every input.
    char shm[] = "/dev/shm/tarq-fuzz-ini-XXXXXX", tmp[] = "/tmp/tarq-fuzz-ini-XXXXXX";
    char* name = shm;
    int fd = mkstemp(shm);
    if (fd < 0) fd = mkstemp(name = tmp);
    if (fd >= 0) close(fd);
    path = name;
    std::snprintf(tarq::ctx.iniPath.data(), tarq::ctx.iniPath.size(), "%s", name);
    return std::freopen("/dev/null", "w", stdout) ? 0 : 1; // the reader's progress lines
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarq;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    ReadParameters();
    const auto& device = ctx.devicePath;
    if (std::memchr(device.data(), '\0', device.size()) == nullptr) __builtin_trap();
    std::array<char, 3> value{};
    readIniValue(value.data(), path.c_str(), "BAUDRATE", value.size());
    std::array<char, 4> text{};
    if (readIniText(text, path.c_str(), "DEVICE") == 0 && text.back() != '\0') __builtin_trap();
    return 0;
}
