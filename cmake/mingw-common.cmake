# What the Windows toolchains share: Debian's MinGW-w64 cross compilers for `mingw_triplet`
# (the -posix ones, whose GCC 12 runtime has std::thread), static linking, and find roots in the
# MinGW tree only. Included by cmake/mingw-i686.cmake and cmake/mingw-x86_64.cmake.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${mingw_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_triplet}-windres)

# Everything linked in, the compiler's runtime too: Wine finds no MinGW runtime DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Libraries and headers come from the MinGW tree only; the host's /usr/include stays out of
# sight. The Boost headers, which Debian ships for the host only but which serve MinGW as they
# stand, are added by the project through a folder that holds nothing but a boost symlink.
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
