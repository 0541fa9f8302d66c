#include "core/config.h"
#include "core/context.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace tarq {
namespace {

// Only a file that is not there at all counts as none. One that is there but cannot be read
// is meant to be used: taking another file instead could open another port, so it fails the
// open with the reason instead.
bool absent(const char* path) {
    struct stat st {};
    return ::stat(path, &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

} // namespace

// The configuration lies beside the loaded library file, whatever the library is called; an
// installed package keeps it in /etc instead.
int getDriverDll() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&getDriverDll), &info) == 0 || !info.dli_fname) return 0;
    return setIniPathBeside(info.dli_fname, SYSTEM_INI_PATH);
}

int setIniPathBeside(std::string_view file, const char* fallback) {
    const std::size_t slash = file.rfind('/');
    const std::string_view dir = slash == std::string_view::npos ? "." : file.substr(0, slash + 1);
    const std::string_view name(INI_FILE_NAME);
    const bool needSlash = dir.back() != '/';
    const std::size_t total = dir.size() + (needSlash ? 1 : 0) + name.size();
    if (total + 1 > ctx.iniPath.size()) return 0;
    char* out = ctx.iniPath.data();
    std::memcpy(out, dir.data(), dir.size());
    out += dir.size();
    if (needSlash) *out++ = '/';
    std::memcpy(out, name.data(), name.size());
    out[name.size()] = '\0';
    // With neither file there, the path beside the library stays: the error names that one.
    if (fallback && std::strlen(fallback) < ctx.iniPath.size() && absent(ctx.iniPath.data()) &&
        !absent(fallback))
        std::strcpy(ctx.iniPath.data(), fallback);
    return 1;
}

} // namespace tarq
