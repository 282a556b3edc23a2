#!/usr/bin/env bash
# Black-box tests of the devices that can never be sampled, of the size error's reason and of
# outputs that cannot be written. Each run is bounded in time: a device that makes the program
# wait or sample forever fails the test instead of hanging it. The bound only catches a hang: it
# lies far above the slowest honest run (ThreadSanitizer on a busy machine).
#   usage: hardening_io_test.sh <test name>
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/cli_lib.sh"

FULL='No space left on device'

# launch target args...: like run, but with standard output to `target` and at most 20 minutes.
launch() {
  local target=$1 before
  shift
  before=$(fingerprint)
  timeout -k 5 1200 "$VANTREL" "$@" > "$target" 2> err
  status=$?
  [[ "$(fingerprint)" == "$before" ]] || fail "an image changed during: vantrel $*"
}

# data.img: 64 MiB, a quarter of it random data.
make_data_image() {
  make_image data.img 64
  put data.img 0 256 random
}

# ---- tests --------------------------------------------------------------------------------

test_unsizable_single_device() {
  mkdir folder
  mkfifo pipe
  : > empty.img
  # path|errno|reason|stderr line before the message (the sizing's own, for an empty image)
  local cases=(
    "folder|21|Is a directory|"
    "pipe|15|Block device required|"
    "/dev/null|15|Block device required|"
    "empty.img|0|The device is empty|lseek: .*"
  )
  local entry path number reason before message
  for entry in "${cases[@]}"; do
    IFS='|' read -r path number reason before <<< "$entry"
    launch out -s VRT -d "$path" -p 2
    expect_status 15 "device $path"
    message="Cannot read ($path) device size Errno : $number Error Message: $reason"
    if [[ -n $before ]]; then
      expect_lines err "$before" "$(re "$message")"
    else
      expect_text err "$message"$'\n'
    fi
    expect_lines vantrel.log "$(re "$(start_line -s VRT -d "$path" -p 2)")" \
      "$TS $(re "$message")" "$(re "$message")" "Execution terminated"
  done
}

test_unsizable_batch_entries() {
  make_data_image
  mkdir folder
  mkfifo pipe
  printf '%s\n' / "$work/folder" "$work/pipe" /dev/null "$work/data.img" > devices.txt
  launch out -s VRT --config devices.txt -p 2 -c out.csv
  expect_status 0 "batch with unsizable entries"
  local path
  for path in / "$work/folder" "$work/pipe" /dev/null; do
    expect_line err "Can't evaluate $path size, skipping"
    expect_match vantrel.log "^$TS $(re "Can't evaluate \"$path\" size, skipping")$" 1
  done
  # Only the image is analysed: its line and the totals of one device.
  expect_match out.csv "^[0-9]+,$(re "$work/data.img"),0\\.062," 1
  expect_match out.csv '^Total,1 Device,' 1

  # A binary file as the batch file: its junk lines are syntax errors and its "/" line, the
  # root directory, is skipped like any other device that cannot be sized.
  printf '\x7fELF\x02\x01\x01\x00\x00\x00\n/\n\x03\x00\xff\xfe\n' > binary.cfg
  launch out -s VRT --config binary.cfg
  expect_status 15 "binary batch file: no device could be sized"
  expect_text err "Can't evaluate / size, skipping"$'\n'
  expect_match vantrel.log "^$TS $(re "Can't evaluate \"/\" size, skipping")$" 1
  expect_line vantrel.log "Summarize total 0 devices"
}

test_unwritable_outputs() {
  make_data_image
  # name|status|options (the word stdout: standard output on /dev/full)|expected messages (;)
  # Every other output of the run goes to a file and must come out complete.
  local cases=(
    "csv|10|-c /dev/full|csv file /dev/full"
    "log|13|--logfile /dev/full|logfile /dev/full"
    "stdout|18|stdout|standard output"
    "csv and log|10|-c /dev/full --logfile /dev/full|csv file /dev/full;logfile /dev/full"
    "all three|18|stdout -c /dev/full --logfile /dev/full|standard output;csv file /dev/full;logfile /dev/full"
  )
  local entry name expected options messages word target args message
  for entry in "${cases[@]}"; do
    IFS='|' read -r name expected options messages <<< "$entry"
    rm -f out.csv run.log
    target=out
    args=(-s VRT -d data.img -p 2 -v)
    for word in $options; do
      if [[ $word == stdout ]]; then target=/dev/full; else args+=("$word"); fi
    done
    [[ $options == *"-c /dev/full"* ]] || args+=(-c out.csv)
    [[ $options == *"--logfile /dev/full"* ]] || args+=(--logfile run.log)
    launch "$target" "${args[@]}"
    expect_status "$expected" "$name"
    # One message per failed output, however many of its writes failed, and nothing else.
    IFS=';' read -r -a messages <<< "$messages"
    for message in "${messages[@]}"; do
      expect_occurrences err "Cannot write $message - $FULL" 1
    done
    expect_match err '.' "${#messages[@]}"
    # The estimate ran to its end: the outputs that could be written are complete.
    if [[ $target == out ]]; then
      expect_match out '^Finish time: ' 1
    fi
    if [[ $options != *"-c /dev/full"* ]]; then
      expect_line out.csv "$CSV_HEADER"
      expect_match out.csv '^[0-9]+,data\.img,0\.062,'
    fi
    if [[ $options != *"--logfile /dev/full"* ]]; then
      # The log ends as a failed run's does, with the failed output's line.
      expect_match run.log "^$TS End of run $" 1
      for message in "${messages[@]}"; do
        expect_match run.log "^$(re "Cannot write $message - $FULL")$" 1
      done
      expect_lines <(tail -n 2 run.log) "Finished vantrel" "Execution terminated"
    fi
  done
}

# The log written through standard output (--logfile r.log > r.log) on a file system that fills
# up: a failed write of the log is the log's failure alone, with its reason and status; a failed
# write of the report is still the report's, with its own.
test_log_on_full_standard_output() {
  mkdir small
  unshare -m mount -t tmpfs -o size=4k vantrel_small small 2> /dev/null ||
    { echo "skipped: no tmpfs can be mounted in a mount namespace of its own here (unshare -m)"; exit 77; }
  make_data_image
  make_image zeros.img 16
  # image|status|the console's lines after the start line (;)
  local cases=(
    "zeros.img|13|Cannot write logfile r.log - $FULL;Over 95% of the samples read from the device (../zeros.img$VERY_EMPTY_TAIL"
    "data.img|18|Cannot write logfile r.log - $FULL;Cannot write standard output - $FULL"
  )
  local entry image expected messages message lines
  for entry in "${cases[@]}"; do
    IFS='|' read -r image expected messages <<< "$entry"
    # 4 KiB: the log's lines fill it early on, and every later write fails.
    unshare -m bash -c 'mount -t tmpfs -o size=4k vantrel_small small && cd small && exec "$@" > r.log' _ \
      "$VANTREL" -s VRT -d "../$image" -p 2 --loglevel 5 --logfile r.log 2> err
    status=$?
    expect_status "$expected" "$image"
    lines=("Analysis started at: $TS")
    IFS=';' read -r -a messages <<< "$messages"
    for message in "${messages[@]}"; do lines+=("$(re "$message")"); done
    expect_lines err "${lines[@]}"
  done
}

# An output on a pipe whose reader has left fails as one on a full disk does: its message with
# the system's reason, the other outputs complete, the output's status. The run is held on its
# device until the reader has gone, so that its later writes meet a pipe without a reader.
test_outputs_on_a_pipe_without_reader() {
  make_data_image
  mkfifo pipe
  # name|status|option (the word stdout: standard output on the pipe)|message
  local cases=(
    "csv|10|-c pipe|csv file pipe"
    "log|13|--logfile pipe|logfile pipe"
    "stdout|18|stdout|standard output"
  )
  local entry name expected option message target args
  for entry in "${cases[@]}"; do
    IFS='|' read -r name expected option message <<< "$entry"
    rm -f out.csv run.log
    target=out
    args=(-s VRT -d data.img -p 2 --loglevel 5)
    if [[ $option == stdout ]]; then target=pipe; else args+=("${option% *}" pipe); fi
    [[ $option == "-c pipe" ]] || args+=(-c out.csv)
    [[ $option == "--logfile pipe" ]] || args+=(--logfile run.log)
    # The test is the pipe's only reader until the run has taken its outputs.
    exec 8<> pipe
    start_stalled data.img "$target" "${args[@]}" 8<&-
    wait_for_line stalled.err '^Analysis started at: '
    exec 8<&-
    finish_stalled
    expect_status "$expected" "$name"
    expect_occurrences stalled.err "Cannot write $message - Broken pipe" 1
    expect_match stalled.err '.' 2
    if [[ $target == out ]]; then
      expect_match out '^[0-9]+ +\| *data\.img +\|' 1
    fi
    if [[ $option != "-c pipe" ]]; then
      expect_lines out.csv "$(re "$CSV_HEADER")" '[0-9]+,data\.img,0\.062,[-0-9.,]+'
    fi
    if [[ $option != "--logfile pipe" ]]; then
      expect_match run.log "^$TS End of run $" 1
      expect_match run.log "^$(re "Cannot write $message - Broken pipe")$" 1
      expect_lines <(tail -n 2 run.log) "Finished vantrel" "Execution terminated"
    fi
  done
}

run_named_test "$@"
