#!/usr/bin/env bash
# Runs CTest in a Windows build folder under a Wine of its own.
#   bash scripts/wine-ctest.sh build_dir bits [ctest options...]     (bits: 32 or 64)
# A fresh prefix in a temporary folder, its server and first boot started before CTest with no
# standard stream of ours, so that no Wine process keeps a pipe of CTest's open, and the server
# stopped whatever happens. Wine's loader and server are named: the plain `wine` command prefers
# the 32-bit loader. The status is CTest's.
set -euo pipefail

dir=$1 bits=$2
shift 2
arch=win32 loader=/usr/lib/wine/wine server=/usr/lib/wine/wineserver32
if [[ $bits == 64 ]]; then
  arch=win64 loader=/usr/lib/wine/wine64 server=/usr/lib/wine/wineserver64
fi

WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-wine.XXXXXX")
export WINEPREFIX WINEARCH=$arch WINELOADER=$loader WINESERVER=$server WINEDEBUG=-all \
  LANG=C.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml="
trap '"$WINESERVER" -k < /dev/null > /dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
"$WINESERVER" -p < /dev/null > /dev/null 2>&1
"$WINELOADER" wineboot -i < /dev/null > /dev/null 2>&1
cd "$dir"
ctest --output-on-failure -j "$(nproc)" "$@"
