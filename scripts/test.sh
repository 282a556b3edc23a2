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

# Configures one build folder: configure dir [cmake options...]. Makes the folder of builds
# first (a fresh clone has none) for the configure log beside the build.
configure() {
  local dir=$1
  shift
  mkdir -p build
  cmake -S . -B "$dir" "$@" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
}

# The end-to-end tests compare the Windows program's figures with the Linux program's: the
# normal build's, made here when this run has not built it.
linux_program() {
  if [[ ! -x build/normal/frontend/vantrel ]]; then
    echo "=== the Linux program for the Windows end-to-end tests"
    configure build/normal -DVANTREL_SANITIZE=
    cmake --build build/normal -j "$jobs" --target vantrel
  fi
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
      # The same sources built for 64-bit Windows, whose tests run under 64-bit Wine on any
      # x86-64 machine, then the 32-bit program users get, whose tests run under 32-bit Wine:
      # here, or, where the machine runs no 32-bit programs, in an emulated guest.
      linux_program
      configure_and_build build/windows64 --toolchain cmake/mingw-x86_64.cmake
      VANTREL_LINUX=$PWD/build/normal/frontend/vantrel bash scripts/wine-ctest.sh build/windows64 64
      echo "=== windows 32-bit build"
      configure_and_build build/windows --toolchain cmake/mingw-i686.cmake
      if native_32bit; then
        VANTREL_LINUX=$PWD/build/normal/frontend/vantrel bash scripts/wine-ctest.sh build/windows 32
      else
        echo "=== 32-bit Windows tests under Wine in an emulated guest"
        bash scripts/wine32-guest.sh build/windows build/normal/frontend/vantrel
      fi
      ;;
    *) echo "unknown build: $kind" >&2; exit 2 ;;
  esac
done
