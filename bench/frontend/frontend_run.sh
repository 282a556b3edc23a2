#!/usr/bin/env bash
# Measures whole vantrel runs with /usr/bin/time -v on the generated 4 GiB sparse demo image with
# 10 sampler threads: user + system CPU seconds, wall seconds and peak resident memory, for a
# default VRT run, a KSM run and a VRT batch of five 64 MiB devices cut from the demo image (a
# batch of small devices shows the fixed cost of each device). Logging goes to the work folder;
# the images are only read.
#   usage: bench/frontend/frontend_run.sh [extra vantrel options]
# BUILD_DIR (default build/frontend_bench) names the release build to use (brought up to date here).
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${BUILD_DIR:-build/frontend_bench}
program=$build/frontend/vantrel
mkdir -p "$build"
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release > "$build.configure.log" 2>&1 ||
    { cat "$build.configure.log"; exit 1; }
fi
# Incremental, so the figures are always those of the current tree.
cmake --build "$build" --target vantrel -j 4 > "$build.build.log" 2>&1 ||
  { cat "$build.build.log"; exit 1; }

image=build/demo/demo.img
bash scripts/make-demo-image.sh "$image" > /dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The batch devices: 64 MiB slices of the demo image's data regions, listed in a batch file.
for offset in 0 64 512 1024 2048; do
  dd if="$image" of="$work/slice$offset.img" bs=1M skip=$offset count=64 conv=sparse status=none
  echo "$work/slice$offset.img" >> "$work/batch.txt"
done
# Read the images once, so that every run finds them in the page cache.
cat "$image" "$work"/slice*.img > /dev/null

# One measured run: prints the figures /usr/bin/time -v reports, on one line.
measure() {
  local label=$1; shift
  /usr/bin/time -v -o "$work/time.txt" "$program" "$@" -p 10 \
      --logfile "$work/vantrel.log" > "$work/out.txt" 2> "$work/err.txt" ||
    { echo "$label: vantrel failed"; cat "$work/err.txt"; return 1; }
  awk -v label="$label" -F': ' '
    /User time/ {user = $2} /System time/ {sys = $2}
    /Elapsed \(wall clock\)/ {wall = $2} /Maximum resident/ {rss = $2}
    END {printf "%-5s cpu(user+sys) %.2f s  wall %s  peak RSS %.1f MiB\n",
         label, user + sys, wall, rss / 1024}' "$work/time.txt"
  grep -E '^[0-9]' "$work/out.txt" | tail -1
}

measure VRT -s VRT -d "$image" "$@"
measure KSM -s KSM -d "$image" "$@"
measure batch -s VRT --config "$work/batch.txt" "$@"
