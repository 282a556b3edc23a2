#!/usr/bin/env bash
# Installs, with apt-get, what the named parts of the build need and this machine lacks:
#   linux     the Linux program, its tests and benchmarks (the default when no part is named)
#   windows   the Windows builds and their tests under Wine, with the linux part: they use its
#             compiler, Boost headers and GoogleTest sources, and compare with the Linux program
# Safe to run again: packages already present are left alone.
#   usage: scripts/install-deps.sh [linux] [windows]
set -euo pipefail

linux_packages=(
  g++ cmake make pkg-config
  libboost1.74-dev
  libboost-program-options1.74-dev
  libboost-thread1.74-dev
  libboost-date-time1.74-dev
  libboost-filesystem1.74-dev
  libboost-random1.74-dev
  zlib1g-dev
  libgtest-dev libgmock-dev googletest
  libbenchmark-dev
  time
)

# MinGW-w64 for 32-bit Windows (the program) and 64-bit Windows (its test build), the -posix
# compilers, whose runtime has std::thread; their zlib; xz-utils to unpack Boost's sources; and
# Wine, 64-bit and 32-bit, to run the programs.
windows_packages=(
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev
  xz-utils
  wine wine64 wine32:i386
  # The emulated guest that runs the 32-bit Windows tests where the kernel starts no 32-bit
  # program (scripts/wine32-guest.sh): QEMU, Debian's kernel, busybox for its init, cpio.
  qemu-system-x86 linux-image-amd64 busybox-static cpio
)

parts=("${@:-linux}")
packages=()
for part in "${parts[@]}"; do
  case "$part" in
    linux) packages+=("${linux_packages[@]}") ;;
    windows) packages+=("${linux_packages[@]}" "${windows_packages[@]}") ;;
    *) echo "unknown part: $part (linux or windows)" >&2; exit 2 ;;
  esac
done

if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi
export DEBIAN_FRONTEND=noninteractive

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -ne 0 ]; then
  echo "installing: ${missing[*]}"
  # An i386 package needs its architecture known before the package lists are read.
  if [[ " ${missing[*]}" == *":i386"* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
