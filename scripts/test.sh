#!/usr/bin/env bash
# Builds and runs every test: the normal build, then AddressSanitizer + UndefinedBehaviorSanitizer,
# then ThreadSanitizer. Pass one of "normal", "address" or "thread" to run only that build.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
builds=("${@:-normal address thread}")
read -r -a builds <<< "${builds[*]}"

for kind in "${builds[@]}"; do
  case "$kind" in
    normal)  dir=build/normal;  sanitize="" ;;
    address) dir=build/address; sanitize=address ;;
    thread)  dir=build/thread;  sanitize=thread ;;
    *) echo "unknown build: $kind" >&2; exit 2 ;;
  esac
  echo "=== $kind build"
  mkdir -p build
  cmake -S . -B "$dir" -DVANTREL_SANITIZE="$sanitize" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
done
