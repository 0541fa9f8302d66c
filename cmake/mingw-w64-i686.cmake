# Cross-build for 32-bit Windows with MinGW-w64. No 32-bit Wine on the build machines: the
# i686 build is compiled and checked, never run.
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
