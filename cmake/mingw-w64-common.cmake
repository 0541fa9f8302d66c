# Shared part of the MinGW-w64 toolchain files; they set CMAKE_SYSTEM_PROCESSOR first. The
# -posix compilers carry the threads model that std::thread and std::mutex need; -static keeps
# the C++ and winpthread run-times inside the DLL and the test programs, so nothing but system
# DLLs has to ship beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(TARQ_MINGW_PREFIX ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${TARQ_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARQ_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TARQ_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${TARQ_MINGW_PREFIX}-objdump CACHE FILEPATH "objdump for the export check")
set(CMAKE_OBJCOPY ${TARQ_MINGW_PREFIX}-objcopy CACHE FILEPATH "objcopy for the separate debug files")
set(CMAKE_DLLTOOL ${TARQ_MINGW_PREFIX}-dlltool CACHE FILEPATH "dlltool for the MSVC import library")

set(CMAKE_FIND_ROOT_PATH /usr/${TARQ_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
