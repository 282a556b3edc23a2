# Toolchain for the 64-bit Windows test build: the same sources as the 32-bit program, run under
# 64-bit Wine, which needs no 32-bit support from the machine. Wine's own loader is named: the
# plain `wine` command prefers the 32-bit one when both are installed.
#   cmake -S . -B build/windows64 --toolchain cmake/mingw-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(mingw_triplet x86_64-w64-mingw32)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
