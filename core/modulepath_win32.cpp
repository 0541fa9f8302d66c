// Where the library lives on Windows, and the library entry.
#include "core/config.h"
#include "core/context.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <array>
#include <cstring>
#include <string_view>

namespace tarq {

// The module is looked up by an address inside it rather than by its file name, so that the
// library finds tarqRS.ini beside itself under any name and from any directory; linked
// statically into a program, the program's own directory is used.
int getDriverDll() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&getDriverDll), &self)) {
        return 0;
    }
    std::array<char, INI_PATH_SIZE> path{};
    const DWORD len = GetModuleFileNameA(self, path.data(), static_cast<DWORD>(path.size()));
    // 0 is failure; a full buffer means the path was cut, and its directory cannot be trusted.
    if (len == 0 || len >= path.size()) return 0;

    const std::string_view name(INI_FILE_NAME);
    std::size_t dir = len;
    while (dir > 0 && path[dir - 1] != '\\' && path[dir - 1] != '/')
        --dir;
    if (dir + name.size() + 1 > ctx.iniPath.size()) return 0;

    ctx.iniPath.fill('\0');
    std::memcpy(ctx.iniPath.data(), path.data(), dir);
    std::memcpy(ctx.iniPath.data() + dir, name.data(), name.size());
    return 1;
}

} // namespace tarq

// Thread start and end notices are of no use to the driver; it keeps no per-thread state.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
