#!/usr/bin/env bash
# Installs what the Linux program needs and is missing (no Windows toolchain), builds vantrel if
# needed and estimates a generated 4 GiB demo disk image, printing the table report. Extra
# arguments go to vantrel (for example -v, -P, -Q 42 or --storageVer 6.4).
#   usage: scripts/demo.sh [vantrel options]
# BUILD_DIR (default build/normal) and JOBS (default: the processor count) steer the build.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build/normal}
program=$build/frontend/vantrel
bash scripts/install-deps.sh linux
mkdir -p "$build"
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  cmake -S . -B "$build" > "$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
fi
# Incremental: only what changed since the last build is compiled again.
cmake --build "$build" --target vantrel -j "${JOBS:-$(nproc)}" > "$build.demo-build.log" 2>&1 ||
  { cat "$build.demo-build.log"; exit 1; }

bash scripts/make-demo-image.sh build/demo/demo.img
echo "running: vantrel -s VRT -d build/demo/demo.img $*"
exec "$program" -s VRT -d build/demo/demo.img --logfile build/demo/vantrel.log "$@"
