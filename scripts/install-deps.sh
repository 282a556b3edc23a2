#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need and this machine lacks.
# Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(
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
  # The Windows builds: MinGW-w64 for 32-bit Windows (the program) and 64-bit Windows (its test
  # build), the -posix compilers, whose runtime has std::thread; their zlib; and Wine, 64-bit
  # and 32-bit, to run the programs.
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev
  wine wine64 wine32:i386
  xz-utils time
  # The emulated guest that runs the 32-bit Windows tests where the kernel starts no 32-bit
  # program (scripts/wine32-guest.sh): QEMU, Debian's kernel, busybox for its init, cpio.
  qemu-system-x86 linux-image-amd64 busybox-static cpio
)

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
  # wine32 is an i386 package: the architecture must be known before the package lists are read.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
