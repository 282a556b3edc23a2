#!/usr/bin/env bash
# Black-box tests of the device monitor: a device ends as soon as its sampler threads are done,
# with the same figures, and a device that runs longer still gets one progress row per 3.2 s
# tick with -v.
#   usage: monitor_test.sh <test name>
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/cli_lib.sh"

TICK_MS=3200

# timed command...: runs the command (run or faulty with their arguments); the wall time it
# took in milliseconds is left in $elapsed_ms.
timed() {
  local start
  start=$(date +%s%N)
  "$@"
  elapsed_ms=$((($(date +%s%N) - start) / 1000000))
}

# rows_after_end file: for each device of a -v run whose output is in `file`, the progress rows
# shown before its last row that already show its final figures: a tick that came after the
# device's work was done. Prints nothing when every earlier row came while the device sampled.
rows_after_end() {
  awk '/^[0-9]/ { rows[n++] = $0 }
       /^Finish time: / { for (i = 0; i < n - 1; i++) if (rows[i] == rows[n - 1]) print rows[i]; n = 0 }' "$1"
}

# A 16 MiB image of compressible data and a hole, so that fixed-seed runs give fixed figures.
make_mixed_image() {
  make_image "$1" 16
  put "$1" 0 96 numbers
  put "$1" 120 96 text
}

# ---- tests --------------------------------------------------------------------------------

test_device_ends_when_done() {
  make_mixed_image dev.img
  cp dev.img second.img
  cp dev.img third.img
  printf '%s\n' "$work/dev.img" "$work/second.img" "$work/third.img" > devices.txt
  # The run goes on (to the next device, or to its end) as soon as a device's work is done. A
  # monitor that sleeps a whole tick before it looks ticks once more after the device's end:
  # with -v that tick's row shows the final figures before the device's last row shows them
  # again. Ticks while the device still samples (a slow machine) show fewer samples. The
  # figures are pinned for the seed; a whole-tick monitor gives the same.
  local batch_figures=0.016,0.003,0.013,82.833,29.577,75.623,41.002
  local cases=(
    "sampling|1|-s VRT -d dev.img -p 1 -t 100|100,dev.img,0.016,0.003,0.013,81.570,27.007,74.751,28.992"
    "exhaustive pass|1|-s VRT -d dev.img -p 3 -e|195,dev.img,0.016,0.003,0.013,80.959,24.419,74.808,20.762"
    "stripe model|1|-s KSM -d dev.img -p 1 -t 20|20,dev.img,0.016,0.002,0.013,85.356,27.358,79.841,64.829"
    "batch|3|-s VRT --config devices.txt -p 1 -t 50|50,$work/dev.img,$batch_figures
50,$work/second.img,$batch_figures
50,$work/third.img,$batch_figures


Summary:
Total,3 Devices,0.047,0.008,0.039,82.833,29.577,75.623,N/A"
  )
  local entry label devices args expected late
  for entry in "${cases[@]}"; do
    IFS='|' read -r -d '' label devices args expected <<< "$entry"
    expected=${expected%$'\n'}
    rm -f out.csv
    # shellcheck disable=SC2086  # the options are words
    run $args -Q 7 -c out.csv -v
    expect_status 0 "$label"
    expect_match out '^Finish time: ' "$devices"
    late=$(rows_after_end out)
    [[ -z $late ]] || fail "$label: a tick after the device's work was done: $late"
    # The CSV ends with the final figures (a single device's CSV also holds its progress rows).
    [[ "$(head -n 1 out.csv)" == "$CSV_HEADER" ]] || fail "$label: CSV header $(head -n 1 out.csv)"
    [[ "$(tail -n "$(wc -l <<< "$expected")" out.csv)" == "$expected" ]] ||
      fail "$label: CSV $(cat out.csv)"
  done
  expect_line vantrel.log "Summarize total 3 devices"
}

test_progress_row_per_tick() {
  make_mixed_image dev.img
  # The 100 samples of this seed take some 500 reads of the image; each waits 15 ms, so the
  # device runs 7 s or more on any machine: at least two ticks before it ends, then the final
  # row. Ticks never come early: no more rows than whole ticks in the run's wall time, plus
  # the final one.
  timed faulty VANTREL_FAULT_FILE=dev.img VANTREL_FAULT_READ_DELAY_MS=15 -- \
    -s VRT -d dev.img -p 1 -t 100 -Q 7 -c out.csv -v
  expect_status 0 "slow device"
  local rows=() csv=()
  mapfile -t rows < <(grep -E '^[0-9]' out)
  mapfile -t csv < <(tail -n +2 out.csv)
  local most=$((elapsed_ms / TICK_MS + 1))
  ((${#rows[@]} >= 3 && ${#rows[@]} <= most)) ||
    fail "${#rows[@]} progress rows in $elapsed_ms ms, expected 3 to $most: $(cat out)"
  [[ ${#csv[@]} == "${#rows[@]}" ]] || fail "CSV has ${#csv[@]} lines for ${#rows[@]} rows"
  local i previous=0 count
  for ((i = 0; i < ${#rows[@]}; i++)); do
    check_row "${rows[i]}" "${csv[i]}" 1
    count=${csv[i]%%,*}
    ((count >= previous)) || fail "row $((i + 1)) shows $count samples after $previous"
    previous=$count
  done
  # The slow reads change nothing in the result.
  [[ ${csv[-1]:-} == "100,dev.img,0.016,0.003,0.013,81.570,27.007,74.751,28.992" ]] ||
    fail "final row: ${csv[-1]:-none}"
  ((${csv[0]%%,*} < 100)) || fail "the first tick came after the last sample: ${csv[0]}"
}

run_named_test "$@"
