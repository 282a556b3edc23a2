#!/usr/bin/env bash
# Makes a sparse demo disk image of 4 GiB from what a fresh Debian machine holds: holes of
# zeros between regions of text, executables, already-compressed files and random data, laid out
# roughly like a used file system. The image is made once and reused while this script and the
# image stay unchanged.
#   usage: scripts/make-demo-image.sh [image path]   (default build/demo/demo.img)
set -euo pipefail
cd "$(dirname "$0")/.."

image=${1:-build/demo/demo.img}
work=$(dirname "$image")/corpus
stamp=$image.stamp
mkdir -p "$work"

version=$(cksum < "$0" | cut -d' ' -f1)
if [[ -f "$image" && -f "$stamp" && "$(cat "$stamp")" == "$version" ]]; then
  echo "demo image ready: $image"
  exit 0
fi
rm -f "$image" "$stamp"

mib=$((1024 * 1024))

# Gathers the files named on standard input, in sorted order, into a corpus file of at most
# limit MiB; later regions repeat the corpus, so it must exceed deflate's 32 KiB window by far.
gather() {
  local out=$1 limit=$2
  local files f
  mapfile -t files < <(sort)
  : > "$out"
  for f in "${files[@]}"; do
    [[ -f "$f" && -r "$f" ]] || continue
    cat "$f" >> "$out" 2>/dev/null || true
    (( $(stat -c %s "$out") < limit * mib )) || break
  done
}

echo "gathering text, executables and compressed files ..."
find /usr/share/doc /usr/share/common-licenses /usr/share/perl* /usr/include /etc \
    -type f ! -name '*.gz' ! -name '*.xz' ! -name '*.bz2' ! -name '*.png' ! -name '*.jpg' \
    -size -2M 2>/dev/null | gather "$work/text" 24
find /usr/bin /usr/sbin /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -size +16k 2>/dev/null |
  gather "$work/exec" 48
find /usr/share/doc /usr/share/man -type f -name '*.gz' 2>/dev/null | gather "$work/gz" 16
# Top the compressed corpus up with gzip output of the text when few .gz files exist.
if (( $(stat -c %s "$work/gz") < 8 * mib )); then
  gzip -6 -c "$work/text" >> "$work/gz"
fi

# Pseudo-random bytes from a fixed seed (xorshift64*), so that every demo image is the same.
cat > "$work/random.c" <<'CSRC'
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
int main(int argc, char **argv) {
  unsigned long long left = argc > 1 ? strtoull(argv[1], 0, 10) : 0;
  uint64_t x = 0x9E3779B97F4A7C15ull, buf[8192];
  while (left > 0) {
    for (int i = 0; i < 8192; i++) {
      x ^= x >> 12; x ^= x << 25; x ^= x >> 27;
      buf[i] = x * 0x2545F4914F6CDD1Dull;
    }
    size_t n = left < sizeof buf ? (size_t)left : sizeof buf;
    if (fwrite(buf, 1, n, stdout) != n) return 1;
    left -= n;
  }
  return 0;
}
CSRC
cc -O2 -o "$work/random" "$work/random.c"

# Writes size MiB at offset MiB of the image, repeating the corpus as often as needed.
fill() {
  local offset=$1 size=$2 corpus=$3
  set +o pipefail
  while :; do cat "$corpus"; done | head -c $((size * mib)) |
    dd of="$image.part" bs=1M seek="$offset" conv=notrunc iflag=fullblock status=none
  set -o pipefail
}

echo "writing $image ..."
truncate -s 4G "$image.part"
fill 0    4   "$work/exec"     # boot area and a small system partition start
fill 64   256 "$work/text"     # documents and configuration
fill 512  256 "$work/exec"     # installed programs and libraries
fill 1024 128 "$work/gz"       # archives and compressed logs
"$work/random" $((128 * mib)) |
  dd of="$image.part" bs=1M seek=1280 conv=notrunc iflag=fullblock status=none  # encrypted data
fill 2048 128 "$work/text"     # more documents
fill 3072 128 "$work/exec"     # a second copy of the programs
fill 3800 64  "$work/gz"       # backups near the end of the disk
mv "$image.part" "$image"
echo "$version" > "$stamp"
echo "demo image ready: $image ($(du -h "$image" | cut -f1) used of 4.0G)"
