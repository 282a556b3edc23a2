#!/usr/bin/env bash
# Builds and runs every test: the normal build, then AddressSanitizer + UndefinedBehaviorSanitizer,
# then ThreadSanitizer, then the 32-bit Windows build (MinGW-w64, tests under Wine). Pass one or
# more of "normal", "address", "thread" or "windows" to run only those builds.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
builds=("${@:-normal address thread windows}")
read -r -a builds <<< "${builds[*]}"

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

# Runs CTest in `dir` under a Wine of its own: a fresh prefix in a temporary folder, its server
# and first boot started before CTest with no standard stream of ours, so that no Wine process
# keeps a pipe of CTest's open, and the server stopped whatever happens.
wine_ctest() {
  local dir=$1
  WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-wine.XXXXXX")
  export WINEPREFIX WINEARCH=win32 WINEDEBUG=-all LANG=C.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml="
  trap 'wineserver -k < /dev/null > /dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
  wineserver -p < /dev/null > /dev/null 2>&1
  wineboot -i < /dev/null > /dev/null 2>&1
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

for kind in "${builds[@]}"; do
  toolchain=()
  case "$kind" in
    normal)  dir=build/normal;  sanitize="" ;;
    address) dir=build/address; sanitize=address ;;
    thread)  dir=build/thread;  sanitize=thread ;;
    windows) dir=build/windows; sanitize=""; toolchain=(--toolchain cmake/mingw-i686.cmake) ;;
    *) echo "unknown build: $kind" >&2; exit 2 ;;
  esac
  echo "=== $kind build"
  mkdir -p build
  cmake -S . -B "$dir" -DVANTREL_SANITIZE="$sanitize" "${toolchain[@]}" > "$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; exit 1; }
  cmake --build "$dir" -j "$jobs"
  if [[ "$kind" != windows ]]; then
    (cd "$dir" && ctest --output-on-failure -j "$jobs")
  elif native_32bit; then
    wine_ctest "$dir"
  else
    echo "=== windows tests built but not run: this machine runs no 32-bit x86 programs, which Wine needs"
  fi
done
