#include "core/config.h"
#include "core/context.h"

#include <dlfcn.h>

#include <cstring>
#include <string_view>

namespace tarq {

// The configuration lies beside the loaded library file, whatever the library is called.
int getDriverDll() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&getDriverDll), &info) == 0 || !info.dli_fname) return 0;
    return setIniPathBeside(info.dli_fname);
}

int setIniPathBeside(std::string_view file) {
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
    return 1;
}

} // namespace tarq
