// The fuzzer's bytes as tarqRS.ini, read as open does plus a small-buffer read of each kind: the
// reader stays inside its buffers whatever the file holds, and the device path ends terminated.
#include "core/config.h"
#include "core/context.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

static char path[] = "/dev/shm/tarq-fuzz-ini-XXXXXX"; // in memory: written for every input

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    int fd = mkstemp(path);
    if (fd < 0) fd = mkstemp(std::strcpy(path, "/tmp/tarq-fuzz-ini-XXXXXX"));
    if (fd >= 0) close(fd);
    std::snprintf(tarq::ctx.iniPath.data(), tarq::ctx.iniPath.size(), "%s", path);
    return std::freopen("/dev/null", "w", stdout) ? 0 : 1; // the reader's progress lines
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarq;
    std::FILE* f = std::fopen(path, "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    ReadParameters();
    if (!std::memchr(ctx.devicePath.data(), '\0', ctx.devicePath.size())) __builtin_trap();
    std::array<char, 3> value{};
    readIniValue(value.data(), path, "BAUDRATE", value.size());
    std::array<char, 4> dev{};
    if (readIniText(dev, path, "DEVICE") == IniText::Found && dev.back() != '\0') __builtin_trap();
    return 0;
}
