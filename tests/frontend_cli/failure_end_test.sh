#!/usr/bin/env bash
# Black-box tests of runs that fail part-way: memory that runs out, threads that cannot start
# and a device that cannot be opened after it was sized. Such a run never prints figures with
# status 0; it ends with a message and a non-zero status, and a batch reports the devices it
# finished first.
#   usage: failure_end_test.sh <test name>
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/cli_lib.sh"

NO_MEMORY='Cannot allocate memory'
MODEL_FAILURE='[orvane::tessaline::kbx::tarnel::compressZov] Exception occurred. Compression was not sucessful.'

# expect_failed_run status name: the run ended with `status`, printed no figures and left no
# CSV row, and its log ends with the failure's line.
expect_failed_run() {
  expect_status "$1" "$2"
  expect_no_line out "$CSV_HEADER"
  ! grep -q '%' out || fail "$2: figures printed: $(cat out)"
  [[ ! -s out.csv ]] || fail "$2: CSV rows: $(cat out.csv)"
  [[ "$(tail -n 1 vantrel.log)" == "Execution terminated" ]] || fail "$2: log end: $(tail -n 1 vantrel.log)"
}

# expect_first_device_reported first never: a batch that failed on its second device reported
# the device `first` (a 16 MiB image without zeros) as at a normal end (its CSV row and the
# totals of it alone, its summary in the log) and never read the device `never`.
expect_first_device_reported() {
  local first=$1 never=$2 csv=()
  mapfile -t csv < out.csv
  [[ ${#csv[@]} == 6 && ${csv[0]} == "$CSV_HEADER" && ${csv[1]} =~ ^[0-9]+,$(re "$first"), &&
     ${csv[4]} == "Summary:" && ${csv[5]} =~ ^Total,1\ Device, ]] ||
    fail "CSV of the failed batch: $(cat out.csv)"
  expect_line out "$(table_header $((${#first} - 6)) | head -n 1)"
  expect_one_device_summary vantrel.log "$first" '[0-9]+' 16777216
  ! grep -qF "$never" out out.csv err vantrel.log || fail "the device after the failed one was read"
}

# log_level_of args...: the log level that the command line `args` gives the run.
log_level_of() {
  local level=2 previous= arg
  for arg; do
    [[ $previous == --loglevel ]] && level=$arg
    previous=$arg
  done
  echo "$level"
}

# misplaced_failure_lines level: in the folder of a run whose log level was `level`, prints the
# memory-failure lines of the console (those of failureLine, made without memory) that its log
# lacks although it takes lines of level 2, or holds although it does not.
misplaced_failure_lines() {
  local level=$1 line
  [[ -s vantrel.log ]] || return 0
  grep -E '^(Error sampling : .* - Cannot allocate memory|Cannot allocate memory for (the run|threads)|The final report stopped at .*)$' err |
    sort -u | while IFS= read -r line; do
      if ((level >= 2)); then
        grep -qxF -- "$line" vantrel.log || echo "the log lacks '$line'"
      elif grep -qxF -- "$line" vantrel.log; then
        echo "the log of level $level holds '$line'"
      fi
    done
}

# check_point setting point args...: runs vantrel in a folder of its own with the allocation
# fault `setting`=`point` (VANTREL_FAULT_MALLOC_NTH: that one allocation fails;
# VANTREL_FAULT_MALLOC_FROM: every allocation from that one on fails) and prints one line for
# what went wrong, nothing when the run ended in order: by itself within a bound far above an
# honest run, with a status below 128, a status 26 with its message (in the log too when its
# level takes it), every memory-failure line of the console in the log exactly when its level
# takes it, the log of a failed run ended as such, no CSV line twice, the totals' device count that of the rows
# above them, and a run that succeeds with every row. Runs in a child shell of xargs: it reports by printing.
# SWEEP_BOUND (seconds, default 600) shortens the bound for a look at a program that hangs.
check_point() {
  local setting=$1 point=$2 status problem= rows total devices level misplaced
  shift 2
  level=$(log_level_of "$@")
  mkdir "$work/p$point" && cd "$work/p$point" || { echo "$point: no folder"; return; }
  timeout -k 10 "${SWEEP_BOUND:-600}" env "$setting=$point" LD_PRELOAD="$FAULT_MALLOC_LIB" "$VANTREL" "$@" > out 2> err
  status=$?
  rows=$(grep -c '^[0-9]' out.csv 2> /dev/null)
  total=$(grep '^Total,' out.csv 2> /dev/null)
  devices=${total#Total,}
  devices=${devices%% *}
  if ((status >= 124)); then
    problem="hung or ended by a signal (status $status)"
  elif ((status == 26)) && ! grep -q 'Cannot allocate memory' err; then
    problem="status 26 without its message"
  elif ((status == 26 && level >= 2)) && [[ -s vantrel.log ]] && ! grep -q 'Cannot allocate memory' vantrel.log; then
    problem="status 26 without its message in the log"
  elif misplaced=$(misplaced_failure_lines "$level") && [[ -n $misplaced ]]; then
    problem=$(tr '\n' ' ' <<< "$misplaced")
  elif ((status != 0)) && [[ -s vantrel.log && $(tail -n 1 vantrel.log) != "Execution terminated" ]]; then
    problem="status $status, log ends: $(tail -n 1 vantrel.log)"
  elif [[ -f out.csv && -n $(grep -v '^$' out.csv | sort | uniq -d) ]]; then
    problem="CSV lines twice: $(grep -v '^$' out.csv | sort | uniq -d | tr '\n' '|')"
  elif [[ -n $total && $devices != "$rows" ]]; then
    problem="$rows rows under $total"
  elif ((status == 0)) && [[ $rows != "$EXPECTED_ROWS" ]]; then
    problem="status 0 with $rows rows"
  fi
  [[ -z $problem ]] || echo "$setting=$point: $problem; stderr: $(head -c 300 err | tr '\n' '|')"
  cd "$work" && rm -rf "$work/p$point"
}

# sweep_allocations setting rows points args...: counts the allocations of an honest run of
# `args`, then runs check_point side by side at `points` points spread evenly over them (from
# the end of start-up on; 0: at every one) and at each of the last 150 allocations, where the
# final report is written. `rows` is the honest run's number of CSV device rows. The runs
# mostly wait (the program's settling pauses), so more of them run at once than there are cores.
sweep_allocations() {
  local setting=$1 rows=$2 points=$3 count first
  shift 3
  env VANTREL_FAULT_MALLOC_COUNT="$work/count" LD_PRELOAD="$FAULT_MALLOC_LIB" "$VANTREL" "$@" > out 2> err
  status=$?
  expect_status 0 "honest run"
  count=$(cat count)
  [[ $count -gt 500 ]] || { fail "honest run made $count allocations"; return; }
  first=$((count / 40))
  export VANTREL FAULT_MALLOC_LIB work EXPECTED_ROWS=$rows
  export -f check_point log_level_of misplaced_failure_lines
  { seq "$first" $((points > 0 ? (count - first) / points : 1)) "$count"; seq $((count - 150)) "$count"; } |
    sort -nu |
    xargs -P $((4 * $(nproc))) -I{} bash -c 'check_point "$@"' _ "$setting" {} "$@" > sweep.out
  [[ ! -s sweep.out ]] || fail "$(wc -l < sweep.out) of the points over $count allocations:
$(head -n 8 sweep.out)"
}

# report_point setting point args...: runs vantrel in a folder of its own with the allocation
# fault `setting`=`point` and prints the point, the exit status and the number of device rows on
# the console and in the CSV file. Runs in a child shell of xargs: it reports by printing.
report_point() {
  local setting=$1 point=$2 status console csv
  shift 2
  mkdir "$work/r$point" && cd "$work/r$point" || { echo "$point no-folder"; return; }
  timeout -k 10 600 env "$setting=$point" LD_PRELOAD="$FAULT_MALLOC_LIB" "$VANTREL" "$@" > out 2> err
  status=$?
  console=$(grep -cE '^[0-9]+(\*\*)? *\|' out)
  csv=$(grep -c '^[0-9]' out.csv 2> /dev/null)
  echo "$point $status $console ${csv:-0}"
  cd "$work" && rm -rf "$work/r$point"
}

# sweep_report_ends setting points args...: runs report_point side by side at each of the last
# `points` allocations of an honest run of `args` and checks what the failed runs reported: the
# same device rows on the console as in the CSV file, never fewer devices after a later failure
# than after an earlier one, no signal. Leaves "point status rows" per failed run, in order, in
# ends.out.
sweep_report_ends() {
  local setting=$1 points=$2 count
  shift 2
  env VANTREL_FAULT_MALLOC_COUNT="$work/count" LD_PRELOAD="$FAULT_MALLOC_LIB" "$VANTREL" "$@" > out 2> err
  status=$?
  expect_status 0 "honest run"
  count=$(cat count)
  export VANTREL FAULT_MALLOC_LIB work
  export -f report_point
  seq $((count - points)) "$count" |
    xargs -P $((4 * $(nproc))) -I{} bash -c 'report_point "$@"' _ "$setting" {} "$@" | sort -n > sweep.out
  awk '$2 != 0 { print $1, $2, $4 }' sweep.out > ends.out
  local problems
  problems=$(awk -v setting="$setting" '
    NF != 4 || $2 >= 124 { print setting "=" $1 ": status " $2; next }
    $3 != $4 { print setting "=" $1 ": " $3 " rows on the console, " $4 " in the CSV file" }
    $2 != 0 && $4 < most { print setting "=" $1 ": " $4 " devices after " most " at " at }
    $2 != 0 && $4 > most { most = $4; at = setting "=" $1 }' sweep.out)
  [[ -z $problems ]] || fail "$(wc -l <<< "$problems") points over $count allocations:
$(head -n 8 <<< "$problems")"
}

# ---- tests --------------------------------------------------------------------------------

test_unmeasured_samples_never_become_figures() {
  [[ -n ${FAULT_MALLOC_LIB:-} ]] || { echo "skipped: allocations cannot fail in a sanitizer build"; exit 77; }
  data_image data.img 16
  # Stripes of width 5: reads of 5 x 256 KiB, the engine's copy of the 3 data strips and the
  # model's Q parity strip of 17 pages of 16 KiB. Each case makes only allocations of sizes
  # around one of them fail. what|smallest|largest failing size|the model's line
  local cases=(
    "read buffer|1300000|1320000|"
    "stripe copy|780000|790000|"
    "model parity|270000|290000|$MODEL_FAILURE"
  )
  local entry what min max model
  for entry in "${cases[@]}"; do
    IFS='|' read -r what min max model <<< "$entry"
    rm -f out.csv
    PRELOAD=$FAULT_MALLOC_LIB faulty VANTREL_FAULT_MALLOC_MIN="$min" VANTREL_FAULT_MALLOC_MAX="$max" -- \
      -s KSM --stripewidth 5 -d data.img -p 3 -Q 1 -t 20 -c out.csv
    expect_failed_run 26 "$what"
    expect_line err "Error sampling : data.img - $NO_MEMORY"
    expect_match vantrel.log "^$(re "Error sampling : data.img - $NO_MEMORY")$"
    if [[ -n $model ]]; then
      expect_match out "^$(re "$model")$"
    else
      expect_text out ""
    fi
  done

  # The same sizes failing nowhere: the run gives its figures.
  PRELOAD=$FAULT_MALLOC_LIB faulty VANTREL_FAULT_MALLOC_MIN=1 VANTREL_FAULT_MALLOC_MAX=1 -- \
    -s KSM --stripewidth 5 -d data.img -p 3 -Q 1 -t 20 -c out.csv
  expect_status 0 "no failing allocation"
  expect_match out.csv "^[0-9]+,data\\.img," 1
}

test_address_space_limits() {
  [[ -n ${FAULT_MALLOC_LIB:-} ]] || { echo "skipped: a sanitizer build cannot start under a low address-space limit"; exit 77; }
  data_image data.img 16
  local options=(-s KSM --stripewidth 16 -d data.img -p 1 -Q 1 -t 30)
  run "${options[@]}" -c reference.csv
  expect_status 0 "without a limit"
  [[ $(wc -l < reference.csv) == 2 ]] || { fail "reference run: $(cat reference.csv)"; return; }
  # From a limit under which the program cannot even be loaded to one that is enough (the
  # thresholds move between machines): every run gives the true figures or fails with a message
  # and a status of its own, never other figures, never a signal.
  local limit
  for limit in $(seq 2000 3000 80000); do
    rm -f out.csv
    (ulimit -v "$limit" && exec "$VANTREL" "${options[@]}" -c out.csv > out 2> err)
    status=$?
    if [[ $status == 0 ]]; then
      cmp -s out.csv reference.csv || fail "limit $limit KiB: other figures: $(cat out.csv)"
    else
      ((status < 128)) || fail "limit $limit KiB: ended by signal $((status - 128))"
      grep -qv '^Analysis started at: ' err || fail "limit $limit KiB: status $status without a message"
      ! grep -q '^[0-9]' out.csv 2> /dev/null || fail "limit $limit KiB: status $status with figures: $(cat out.csv)"
    fi
  done
}

test_threads_that_cannot_start() {
  data_image a.img 16
  data_image b.img 16
  local a=$work/a.img b=$work/b.img
  # The logger thread is the run's first thread, then each device's sampler threads.
  faulty VANTREL_FAULT_THREADS_FROM=1 -- -s VRT -d a.img -p 4 -c out.csv
  expect_failed_run 26 "logger thread"
  expect_text err "Cannot start logger thread - Resource temporarily unavailable"$'\n'
  expect_lines vantrel.log "$(re "$(start_line -s VRT -d a.img -p 4 -c out.csv)")" \
    "$(re "Cannot start logger thread - Resource temporarily unavailable")" "Execution terminated"

  # The second sampler thread: the first one is stopped and joined, the device has no figures.
  faulty VANTREL_FAULT_THREADS_FROM=3 -- -s VRT -d a.img -p 4 -c out.csv
  expect_failed_run 26 "sampler thread"
  expect_line err "Cannot start sampler thread - Resource temporarily unavailable"
  expect_line vantrel.log "Cannot start sampler thread - Resource temporarily unavailable"

  # In a batch, the second device's second sampler thread (logger, two for a, two for b).
  printf '%s\n' "$a" "$b" "$work/c.img" > devices.txt
  data_image c.img 16
  rm -f out.csv
  faulty VANTREL_FAULT_THREADS_FROM=5 -- -s VRT --config devices.txt -p 2 -t 100 -c out.csv
  expect_status 26 "batch: a sampler thread of the second device"
  expect_line err "Cannot start sampler thread - Resource temporarily unavailable"
  expect_first_device_reported "$a" "$work/c.img"
}

test_batch_device_that_cannot_be_opened() {
  local a b c
  three_device_batch
  # The second device is sized, then refused to every sampler thread: however many threads
  # meet the refusal, the run ends as a device that cannot be read, after reporting the first.
  local threads
  for threads in 1 4 10; do
    rm -f out.csv
    faulty VANTREL_FAULT_FILE="$b" VANTREL_FAULT_OPENS_OFF_MAIN=1 -- -s VRT --config devices.txt \
      -p "$threads" -t 100 -c out.csv
    expect_status 15 "open refused, $threads threads"
    expect_line err "Error opening : $b - Permission denied"
    expect_no_line err "$ABORT_1"
    expect_first_device_reported "$a" "$c"
  done
}

test_io_abort_leaves_reads_in_progress() {
  local a b c
  three_device_batch
  # The second device is dying: reads in its first half fail at once, every other read takes
  # ten minutes (its retries). With this seed four failed reads come before the four threads
  # are all held in slow reads, so the run aborts on the I/O-error limit while reads are in
  # progress. It ends, the first device reported, without waiting for them: the bound below,
  # half the reads' time, is what shows it (an honest run takes about a second).
  rm -f out.csv
  local asan=${ASAN_OPTIONS:-}
  VANTREL_FAULT_FILE="$b" VANTREL_FAULT_READS=0-8388608 VANTREL_FAULT_READ_DELAY_MS=600000 \
    LD_PRELOAD="$FAULT_LIB" ASAN_OPTIONS="${asan:+$asan:}verify_asan_link_order=0" \
    timeout -k 10 300 "$VANTREL" -s VRT --config devices.txt -p 4 -Q 1 -t 100 -c out.csv > out 2> err
  status=$?
  expect_status 17 "abort with reads in progress"
  expect_occurrences err "$ABORT_1" 1
  expect_first_device_reported "$a" "$c"
}

test_one_allocation_that_fails() {
  [[ -n ${FAULT_MALLOC_LIB:-} ]] || { echo "skipped: allocations cannot fail in a sanitizer build"; exit 77; }
  local a b c
  three_device_batch
  # A single device at every point; a batch, with one sampler thread and with several, at points
  # over the whole run: wherever the one failing allocation falls, the run ends in order.
  sweep_allocations VANTREL_FAULT_MALLOC_NTH 1 0 -s VRT -d "$a" -p 1 -Q 1 -t 50 -c out.csv
  local threads
  for threads in 1 4; do
    sweep_allocations VANTREL_FAULT_MALLOC_NTH 3 100 -s VRT --config "$work/devices.txt" -p "$threads" -Q 1 -t 50 -c out.csv
  done
}

test_first_allocations_that_fail() {
  [[ -n ${FAULT_MALLOC_LIB:-} ]] || { echo "skipped: allocations cannot fail in a sanitizer build"; exit 77; }
  data_image a.img 16
  # The first allocations of the process come before main (the runtime's own, then the
  # program's statics) and at its start: wherever the one failing allocation falls, the run
  # ends in order (a status below 128, a 26 with its message), never with an abort.
  export VANTREL FAULT_MALLOC_LIB work EXPECTED_ROWS=1
  export -f check_point
  seq 1 60 | xargs -P $((4 * $(nproc))) -I{} bash -c 'check_point "$@"' _ VANTREL_FAULT_MALLOC_NTH {} \
    -s VRT -d "$work/a.img" -p 1 -Q 1 -t 50 -c out.csv > sweep.out
  [[ ! -s sweep.out ]] || fail "$(wc -l < sweep.out) of the first 60 allocations:
$(head -n 8 sweep.out)"
}

test_memory_gone_for_good() {
  [[ -n ${FAULT_MALLOC_LIB:-} ]] || { echo "skipped: allocations cannot fail in a sanitizer build"; exit 77; }
  local a b c
  three_device_batch
  # Every allocation fails from some point on, as when memory has run out and stays so: the
  # run still ends, with 26 and its message, a batch reporting what it finished where it can.
  sweep_allocations VANTREL_FAULT_MALLOC_FROM 1 100 -s KSM --stripewidth 16 -d "$a" -p 1 -Q 1 -t 30 -c out.csv
  sweep_allocations VANTREL_FAULT_MALLOC_FROM 3 100 -s KSM --stripewidth 16 --config "$work/devices.txt" -p 3 -Q 1 -t 20 -c out.csv
}

test_failure_lines_kept_without_memory() {
  [[ -n ${FAULT_MALLOC_LIB:-} ]] || { echo "skipped: allocations cannot fail in a sanitizer build"; exit 77; }
  local a b c
  three_device_batch
  # Memory gone for good over a batch of four sampler threads: the samplers' copies of their
  # failure line, kept for the log's end when they cannot be queued, leave room for the run's
  # own failure line and the final report's stop line; and a log whose level refuses failure
  # lines gets none of them, kept or not. The samplers fill the slots only at a few points, so
  # that the first sweep is dense.
  sweep_allocations VANTREL_FAULT_MALLOC_FROM 3 400 -s KSM --stripewidth 16 --config "$work/devices.txt" \
    -p 4 -Q 1 -t 20 -c out.csv
  sweep_allocations VANTREL_FAULT_MALLOC_FROM 3 50 -s KSM --stripewidth 16 --config "$work/devices.txt" \
    -p 4 -Q 1 -t 20 --loglevel 0 -c out.csv
}

test_final_report_needs_no_memory() {
  [[ -n ${FAULT_MALLOC_LIB:-} ]] || { echo "skipped: allocations cannot fail in a sanitizer build"; exit 77; }
  local a b c first_after
  three_device_batch
  local args=(-s VRT --config "$work/devices.txt" -p 1 -Q 1 -t 100 -c out.csv)
  # One allocation failing anywhere from the third device's sampling on: a later failure never
  # reports fewer devices, and what the console shows the CSV file holds.
  sweep_report_ends VANTREL_FAULT_MALLOC_NTH 200 "${args[@]}"
  first_after=$(awk '$3 == 3 { print $1; exit }' ends.out)
  [[ -n $first_after ]] || { fail "no failure after the last device reported it"; return; }
  # Memory gone for good from the first such point on: every run still reports all three.
  sweep_report_ends VANTREL_FAULT_MALLOC_FROM 200 "${args[@]}"
  local lost
  lost=$(awk -v first="$first_after" '$1 >= first && $3 != 3' ends.out)
  [[ -z $lost ]] || fail "memory gone after the last device (from allocation $first_after on), reported devices:
$(head -n 8 <<< "$lost")"
}

run_named_test "$@"
