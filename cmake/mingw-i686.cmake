# Toolchain for the 32-bit Windows build, the program users get (vantrel_Win32.exe). Its tests
# run under Wine's 32-bit half where the machine runs 32-bit x86 programs.
#   cmake -S . -B build/windows --toolchain cmake/mingw-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(mingw_triplet i686-w64-mingw32)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
