# Toolchain for the 32-bit Windows build, the program users get (vantrel_Win32.exe). Its tests
# run under Wine's 32-bit half, in an emulated guest where the machine runs no 32-bit x86
# programs (scripts/wine32-guest.sh).
#   cmake -S . -B build/windows --toolchain cmake/mingw-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(mingw_triplet i686-w64-mingw32)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
# SSE2 floating point: doubles rounded to 64 bits at every step as on x86-64, so the engine's
# statistics and the model come out as on Linux. The x87 unit's default 80-bit intermediates
# would move results that lie near a rounding or cut-off point.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
