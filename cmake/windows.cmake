# The Windows builds' libraries (see cmake/mingw-i686.cmake and cmake/mingw-x86_64.cmake): Boost, zlib, threads and
# GoogleTest for MinGW, and vantrel_windows_program, which makes an executable the Windows
# program: the engine's exports and the version resource.
enable_language(RC)

# Boost: the host's headers through a folder that exposes nothing else, and Program_options
# compiled here from Debian's source package of the same version.
set(VANTREL_BOOST_DIR ${CMAKE_BINARY_DIR}/deps)
execute_process(COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/boost-mingw.sh ${VANTREL_BOOST_DIR}
                RESULT_VARIABLE boost_result)
if(NOT boost_result EQUAL 0)
  message(FATAL_ERROR "scripts/boost-mingw.sh could not prepare Boost for MinGW")
endif()

add_library(Boost::boost INTERFACE IMPORTED)
set_target_properties(Boost::boost PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${VANTREL_BOOST_DIR}/include)
# Date_Time: the parts the log uses are header-only.
add_library(Boost::date_time INTERFACE IMPORTED)
set_target_properties(Boost::date_time PROPERTIES INTERFACE_LINK_LIBRARIES Boost::boost)

file(GLOB boost_program_options_sources CONFIGURE_DEPENDS ${VANTREL_BOOST_DIR}/program_options/src/*.cpp)
add_library(vantrel_boost_program_options STATIC ${boost_program_options_sources})
target_link_libraries(vantrel_boost_program_options PUBLIC Boost::boost)
# Boost's own code builds with its own warnings, not the project's -Werror.
set_property(TARGET vantrel_boost_program_options PROPERTY COMPILE_OPTIONS -w)
add_library(Boost::program_options ALIAS vantrel_boost_program_options)

find_package(Threads REQUIRED)
# libz-mingw-w64-dev: checksums for the library, inflate for the tests; linked in, not the DLL.
set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)

# GoogleTest from the sources of Debian's googletest package, built for MinGW (it names its
# targets GTest::gtest and GTest::gtest_main itself).
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
set_property(TARGET gtest gtest_main PROPERTY COMPILE_OPTIONS "")
# Listing a test program's cases runs it under Wine: done when CTest runs, not while building.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# Makes `target` (an executable) the Windows program: it exports the engine's ten entry points
# by decorated name and ordinal and carries the version resource.
# The 64-bit test build exports the same names and ordinals; its compiler gives the functions
# plain symbols (no standard-call decoration on x86-64), so the map's right-hand sides drop
# their "@bytes".
set(VANTREL_EXPORTS_DEF ${PROJECT_SOURCE_DIR}/windows/vantrel_Win32.def)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  file(READ ${VANTREL_EXPORTS_DEF} def_text)
  string(REGEX REPLACE "= ([A-Za-z_]+)@[0-9]+" "= \\1" def_text "${def_text}")
  set(VANTREL_EXPORTS_DEF ${CMAKE_BINARY_DIR}/vantrel_Win64.def)
  file(WRITE ${VANTREL_EXPORTS_DEF} "${def_text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/windows/vantrel_Win32.def)
endif()

function(vantrel_windows_program target)
  set(def ${VANTREL_EXPORTS_DEF})
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/windows/vantrel_Win32.rc)
  target_link_options(${target} PRIVATE ${def})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${def})
  target_link_libraries(${target} PRIVATE vantrel_engine)
endfunction()
