#!/usr/bin/env bash
# Black-box tests of `vantrel -s KSM` on generated image files: the figures on the console and in
# the CSV file against the stripe model's own totals over the same stripes.
#   usage: ksm_cli_test.sh <test name>
# Environment: VANTREL (the program), ZOV_TOTALS (runs the stripe model over an image's stripes).
set -uo pipefail

: "${VANTREL:?path of the vantrel program}" "${ZOV_TOTALS:?path of zov_totals}"
work=$(mktemp -d /tmp/vantrel_ksm.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

failures=0
STRIP=262144
GIB=1073741824

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# strip file index kind: writes strip `index` (256 KiB) of text, numbers or random bytes.
strip() {
  case "$3" in
    text)    yes "the quick brown fox jumps over the lazy dog; record status ok, retry 0" ;;
    numbers) seq 1000000 99999999 ;;
    random)  head -c $STRIP /dev/urandom ;;
  esac 2>/dev/null | head -c $STRIP |
    dd of="$1" bs=$STRIP seek="$2" conv=notrunc iflag=fullblock status=none
}

# run args...: runs vantrel; stdout in out, stderr in err, exit status in $status.
run() {
  "$VANTREL" "$@" > out 2> err
  status=$?
  [[ $status == 0 ]] || fail "vantrel $*: exit status $status; stderr: $(head -c 400 err)"
}

# csv_field n: field n of the CSV file's device line.
csv_field() { sed -n 2p out.csv | cut -d, -f"$1"; }

# expect_equal what actual expected
expect_equal() { [[ "$2" == "$3" ]] || fail "$1: '$2', expected '$3'"; }

# expected_row bytes zero-fraction ratio samples: the CSV figures (fields 3 to 9) the reports must
# show for a device of `bytes` bytes with these model totals and sample count.
expected_row() {
  awk -v bytes="$1" -v z="$2" -v ratio="$3" -v n="$4" -v gib=$GIB 'BEGIN {
    size = bytes / gib; r = 1 / ratio; if (r > 1) r = 0.99999
    compressed = size * (1 - z) * r; savings = size - compressed
    accuracy = 100 * sqrt(log(2e7) / (2 * n)); if (accuracy > 100) accuracy = 100
    printf "%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f\n", size, compressed, savings, savings * 100 / size,
           100 * z, (1 - r) * 100, accuracy }'
}

# One thread over the whole device compresses its stripes in order, all but the last one (the
# block that uses up the range), so the model run over the same stripes has the same totals.
test_exhaustive_matches_model() {
  local stripes=24 width=5 block=$((3 * STRIP))
  truncate -s $((stripes * block)) dev.img
  # Data strips 3s .. 3s+2 of stripe s; whatever is not written stays zero.
  local s kinds=(text numbers random)
  for ((s = 0; s < stripes; s++)); do
    case $((s % 6)) in
      0) ;;                                                       # all zero
      1) strip dev.img $((3 * s)) text; strip dev.img $((3 * s + 1)) numbers ;;
      *) strip dev.img $((3 * s + s % 3)) "${kinds[s % 3]}"
         strip dev.img $((3 * s + (s + 1) % 3)) text ;;
    esac
  done
  run -s KSM -d dev.img -e -p 1 --stripewidth $width -c out.csv --loglevel 2
  local used=$((stripes - 1)) totals bytesOut ratio zero last
  totals=$("$ZOV_TOTALS" dev.img $width $used) || { fail "zov_totals failed"; return; }
  read -r bytesOut ratio zero last <<< "$totals"

  expect_equal "CSV samples" "$(csv_field 1 | tr -d '*')" $used
  expect_equal "CSV figures" "$(sed -n 2p out.csv | cut -d, -f3-)" \
    "$(expected_row $((stripes * block)) "$zero" "$ratio" $used)"
  # The table shows the percentages to one place.
  local row thin compression
  row=$(grep '|dev.img' out)
  thin=$(awk -v z="$zero" 'BEGIN { printf "%.1f%%", 100 * z }')
  compression=$(awk -v q="$ratio" 'BEGIN { printf "%.1f%%", (1 - 1 / q) * 100 }')
  expect_equal "table thin provisioning" "$(echo "$row" | cut -d'|' -f7 | tr -d ' ')" "$thin"
  expect_equal "table compression" "$(echo "$row" | cut -d'|' -f8 | tr -d ' ')" "$compression"
  # One ratio line per stripe, the last one the model's running total over the block size.
  expect_equal "ratio lines" "$(grep -c ' Zov : (' vantrel.log)" $used
  expect_equal "last ratio line" "$(grep ' Zov : (' vantrel.log | tail -1 | sed 's/.* Zov : (//')" "$last)"
}

# Every stripe has one zero strip of three, so the thin-provisioning share is 16 of 81 pages
# whichever stripes the ten threads draw.
test_sampled_zero_share() {
  local stripes=40 block=$((3 * STRIP)) s
  truncate -s $((stripes * block)) dev.img
  for ((s = 0; s < stripes; s++)); do
    strip dev.img $((3 * s)) text
    strip dev.img $((3 * s + 2)) numbers
  done
  run -s KSM -d dev.img --stripewidth 5 -t 30 -Q 11 -c out.csv
  local samples
  samples=$(csv_field 1 | tr -d '*')
  (( samples >= 30 && samples < 40 )) || fail "samples: $samples"
  expect_equal "thin provisioning" "$(csv_field 7)" "$(awk 'BEGIN { printf "%.3f", 100 * 16 / 81 }')"
  expect_equal "size" "$(csv_field 3)" "$(awk -v b=$((stripes * block)) -v g=$GIB 'BEGIN { printf "%.3f", b / g }')"
  local compression
  compression=$(csv_field 8)
  awk -v c="$compression" 'BEGIN { exit !(c > 50 && c < 100) }' || fail "compression savings: $compression"
  expect_equal "ratio lines" "$(grep -c ' Zov : (' vantrel.log)" "$samples"
}

# The engine asks for the data strips of one stripe: (width - 2) x 256 KiB.
test_stripe_width_block() {
  local width
  truncate -s 64M dev.img
  strip dev.img 3 text
  for width in 5 16; do
    rm -f vantrel.log
    run -s KSM -d dev.img --stripewidth $width -t 4 -p 2 --loglevel 3
    local sizes
    sizes=$(grep -o 'bytes read :[0-9]*' vantrel.log | sort -u | tr '\n' ' ')
    expect_equal "width $width reads" "$sizes" "bytes read :$(((width - 2) * STRIP)) "
  done
}

name=${1:?test name}
"test_$name"
if (( failures > 0 )); then
  echo "$name: $failures failures" >&2
  exit 1
fi
echo "$name: passed"
