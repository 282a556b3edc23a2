#!/usr/bin/env bash
# Measures whole vantrel runs with /usr/bin/time -v on the generated 4 GiB sparse demo image with
# 10 sampler threads: user + system CPU seconds, wall seconds and peak resident memory, for a
# default VRT run and a KSM run. Logging goes to the work folder; the image is only read.
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

# One measured run: prints the figures /usr/bin/time -v reports, on one line.
measure() {
  local label=$1; shift
  /usr/bin/time -v -o "$work/time.txt" "$program" "$@" -d "$image" -p 10 \
      --logfile "$work/vantrel.log" > "$work/out.txt" 2> "$work/err.txt" ||
    { echo "$label: vantrel failed"; cat "$work/err.txt"; return 1; }
  awk -v label="$label" -F': ' '
    /User time/ {user = $2} /System time/ {sys = $2}
    /Elapsed \(wall clock\)/ {wall = $2} /Maximum resident/ {rss = $2}
    END {printf "%-4s cpu(user+sys) %.2f s  wall %s  peak RSS %.1f MiB\n",
         label, user + sys, wall, rss / 1024}' "$work/time.txt"
  grep -E '^[0-9]' "$work/out.txt" | tail -1
}

measure VRT -s VRT "$@"
measure KSM -s KSM "$@"
