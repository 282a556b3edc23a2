#!/usr/bin/env bash
# Builds and runs every test: the normal build, then AddressSanitizer + UndefinedBehaviorSanitizer,
# then ThreadSanitizer, then the Windows builds (MinGW-w64: the 32-bit program and a 64-bit build
# of the same sources whose tests run under Wine). Pass one or more of "normal", "address",
# "thread" or "windows" to run only those builds.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
builds=("${@:-normal address thread windows}")
read -r -a builds <<< "${builds[*]}"

# The Windows toolchain and Wine only when a Windows build is asked for.
parts=(linux)
[[ " ${builds[*]} " == *" windows "* ]] && parts+=(windows)
bash scripts/install-deps.sh "${parts[@]}"

# Whether Wine's 32-bit half can run here: the kernel must run 32-bit x86 programs itself. One
# that sends them to an emulator (QEMU registered through binfmt_misc) gets Wine up, slowly, but
# crashes its programs when they start a thread.
native_32bit() {
  local emulator=/proc/sys/fs/binfmt_misc/qemu-i386
  if [[ -e "$emulator" ]] && grep -qx enabled "$emulator"; then
    return 1
  fi
  /lib/ld-linux.so.2 --version > /dev/null 2>&1
}

# Runs CTest in `dir` under a Wine of its own (`bits`: 32 or 64): a fresh prefix in a temporary
# folder, its server and first boot started before CTest with no standard stream of ours, so
# that no Wine process keeps a pipe of CTest's open, and the server stopped whatever happens.
# Wine's loader and server are named: the plain `wine` command prefers the 32-bit loader.
wine_ctest() {
  local dir=$1 bits=$2 arch=win32 loader=/usr/lib/wine/wine server=/usr/lib/wine/wineserver32
  shift 2
  if [[ $bits == 64 ]]; then
    arch=win64 loader=/usr/lib/wine/wine64 server=/usr/lib/wine/wineserver64
  fi
  (
    WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-wine.XXXXXX")
    export WINEPREFIX WINEARCH=$arch WINELOADER=$loader WINESERVER=$server WINEDEBUG=-all \
      LANG=C.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml="
    trap '"$WINESERVER" -k < /dev/null > /dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
    "$WINESERVER" -p < /dev/null > /dev/null 2>&1
    "$WINELOADER" wineboot -i < /dev/null > /dev/null 2>&1
    cd "$dir" && ctest --output-on-failure -j "$jobs" "$@"
  )
}

# Configures one build folder: configure dir [cmake options...].
configure() {
  local dir=$1
  shift
  mkdir -p build
  cmake -S . -B "$dir" "$@" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
}

# Configures and builds every target of one build folder: configure_and_build dir [cmake options...].
configure_and_build() {
  configure "$@"
  cmake --build "$1" -j "$jobs"
}

for kind in "${builds[@]}"; do
  echo "=== $kind build"
  case "$kind" in
    normal|address|thread)
      sanitize=$kind
      [[ $kind == normal ]] && sanitize=""
      configure_and_build "build/$kind" -DVANTREL_SANITIZE="$sanitize"
      (cd "build/$kind" && ctest --output-on-failure -j "$jobs")
      ;;
    windows)
      # The 32-bit program users get, and the same sources built for 64-bit Windows, whose
      # tests run under 64-bit Wine on any x86-64 machine. The 32-bit build's own facts (its
      # export table) are checked from the file; its tests under Wine run only where the
      # machine runs 32-bit programs.
      if native_32bit; then
        configure_and_build build/windows --toolchain cmake/mingw-i686.cmake
        wine_ctest build/windows 32
      else
        # Without Wine's 32-bit half only the programs that carry the exports are built, and
        # their export tables checked from the files.
        echo "=== 32-bit Windows tests under Wine skipped: this machine runs no 32-bit x86 programs"
        configure build/windows --toolchain cmake/mingw-i686.cmake
        cmake --build build/windows -j "$jobs" --target vantrel_Win32 windows_program_tests
        for program in build/windows/frontend/vantrel_Win32.exe \
                       build/windows/tests/windows_program/windows_program_tests.exe; do
          bash tests/windows_program/export_table_test.sh i686-w64-mingw32-objdump "$program"
        done
      fi
      echo "=== windows64 build"
      configure_and_build build/windows64 --toolchain cmake/mingw-x86_64.cmake
      # The end-to-end tests compare the Windows program's figures with the Linux program's:
      # the normal build's, made here when this run has not built it.
      if [[ ! -x build/normal/frontend/vantrel ]]; then
        echo "=== the Linux program for the Windows end-to-end tests"
        cmake -S . -B build/normal > build/normal.configure.log 2>&1 || { cat build/normal.configure.log; exit 1; }
        cmake --build build/normal -j "$jobs" --target vantrel
      fi
      VANTREL_LINUX=$PWD/build/normal/frontend/vantrel wine_ctest build/windows64 64
      ;;
    *) echo "unknown build: $kind" >&2; exit 2 ;;
  esac
done
