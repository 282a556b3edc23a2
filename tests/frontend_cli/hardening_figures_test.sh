#!/usr/bin/env bash
# Black-box tests of the figures' honesty: every device without figures says why, option values
# that would make the figures meaningless are refused, and the messages and figures shown are
# true (the very-empty line, exhaustive batches, the mean ratio, CSV names).
#   usage: hardening_figures_test.sh <test name>
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/cli_lib.sh"

NO_FIGURES='No figures for the device ('

# csv_field file line field: field number `field` (from 1) of line `line` of a plain CSV file.
csv_field() { sed -n "${2}p" "$1" | cut -d, -f"$3"; }

# ---- tests --------------------------------------------------------------------------------

test_device_without_figures_says_why() {
  make_image zero.img 16
  head -c 1000 /dev/urandom > tiny.img
  make_image text.img 4
  put text.img 0 64 text
  # Just below one stripe's data strips (12 - 2 strips of 256 KiB): the stripe model's block.
  head -c $((10 * 262144 - 512)) /dev/urandom > strips.img
  # Data in the last block alone, which -e with one thread does not read.
  make_image tail.img 1
  put tail.img 15 1 text
  local all_zero="every block read was zero (-e does not read the last block of each sampler thread's range)."
  # args | the line on the console and, timestamped, in the log
  local cases=(
    "-s VRT -d zero.img -p 2 -e|${NO_FIGURES}zero.img): $all_zero"
    "-s VRT -d tail.img -p 1 -e|${NO_FIGURES}tail.img): $all_zero"
    "-s VRT -d tiny.img -p 2|${NO_FIGURES}tiny.img): it is smaller than one block (65536 bytes)."
    "-s VRT -d text.img -p 2 -g 8388608|${NO_FIGURES}text.img): it is smaller than one block (8388608 bytes)."
    "-s VRT -d text.img -p 2 -e -g 2097152|${NO_FIGURES}text.img): no block of it could be sampled."
    "-s KSM -d strips.img -p 2|${NO_FIGURES}strips.img): it is smaller than one block (2621440 bytes)."
  )
  local entry args message
  for entry in "${cases[@]}"; do
    IFS='|' read -r args message <<< "$entry"
    # shellcheck disable=SC2086
    run $args -c out.csv
    expect_status 0 "$args"
    expect_text out ""
    [[ ! -s out.csv ]] || fail "$args: a CSV file without figures: $(cat out.csv)"
    expect_lines err "Analysis started at: $TS" "$(re "$message")"
    expect_match vantrel.log "^$TS $(re "$message")$" 1
    rm -f out.csv
  done

  # A batch device whose every read fails (within the limit of failed reads) says so, and the
  # batch goes on with the next device.
  head -c $BLOCK /dev/urandom > one.img
  printf '%s\n' "$work/one.img" "$work/text.img" > devices.txt
  faulty VANTREL_FAULT_FILE="$work/one.img" VANTREL_FAULT_READS=all -- -s VRT --config devices.txt -p 1 -e
  expect_status 0 "batch device whose reads fail"
  expect_occurrences err "${NO_FIGURES}$work/one.img): every read of it failed." 1
  expect_match vantrel.log "^$TS $(re "${NO_FIGURES}$work/one.img): every read of it failed.")$" 1
  expect_match out "^64 +\|$(re "$work/text.img") +\|" 1
  expect_line vantrel.log "Summarize total 1 devices"

  # A batch device read whole by the stripe model whose every stripe is zero: its samples were
  # measured, but its compressed size is 0, which a batch does not keep.
  data_image data.img 16
  printf '%s\n' "$work/zero.img" "$work/data.img" > devices.txt
  run -s KSM -e --config devices.txt -p 2
  expect_status 0 "stripe model batch with an all-zero device"
  local zero_line="${NO_FIGURES}$work/zero.img): its compressed size is 0."
  expect_occurrences err "$zero_line" 1
  expect_match vantrel.log "^$TS $(re "$zero_line")$" 1
  expect_match out "^[0-9]+ +\|$(re "$work/data.img") +\|" 1
  expect_line vantrel.log "Summarize total 1 devices"
}

test_option_values_refused() {
  # args | message on the standard output stream and in the log
  local cases=(
    "--deltaError 0|deltaError (-u) must be a number above 0.5"
    "--deltaError -5|deltaError (-u) must be a number above 0.5"
    "-u 0.5|deltaError (-u) must be a number above 0.5"
    "-u nan|deltaError (-u) must be a number above 0.5"
    "-t 0|maxNumSamples (-t) must be in the range of 1..4294967295"
    "-t -1|maxNumSamples (-t) must be in the range of 1..4294967295"
    "--maxNumSamples=-7|maxNumSamples (-t) must be in the range of 1..4294967295"
    "-Q -1|qa (-Q) must be in the range of 0..4294967295"
  )
  # Mostly zeros: a wrapped-around sample target still ends soon at the engine's cap.
  make_image dev.img 4
  put dev.img 0 4 random
  local entry args message
  for entry in "${cases[@]}"; do
    IFS='|' read -r args message <<< "$entry"
    # shellcheck disable=SC2086
    run -s VRT -d dev.img $args
    expect_status 4 "$args"
    expect_text out "$message"$'\n'
    expect_text err ""
    # shellcheck disable=SC2086
    expect_lines vantrel.log "$(re "$(start_line -s VRT -d dev.img $args)")" "$(re "$message")" "Execution terminated"
  done

  # Just above the bound the accuracy range is a number again.
  run -s VRT -d dev.img -p 1 -t 20 -u 0.6 -c out.csv
  expect_status 0 "-u 0.6"
  [[ "$(csv_field out.csv 2 9)" == "$(accuracy 20 0.6)" ]] || fail "-u 0.6: accuracy $(csv_field out.csv 2 9)"
}

test_sample_cap_is_not_very_empty() {
  # A quarter of zeros: the engine's cap of samples ends the device, which is not very empty.
  make_image dev.img 16
  put dev.img 0 192 random
  run -s VRT -d dev.img -p 4 -t 100000 -c out.csv
  expect_status 0 "-t 100000"
  expect_match err "Over 95%" 0
  expect_match vantrel.log "Over 95%" 0
  local count thin
  count=$(csv_field out.csv 2 1)
  thin=$(csv_field out.csv 2 7)
  [[ $count =~ ^[0-9]+$ ]] && ((count > 40000 && count < 100000)) || fail "sample count $count"
  near "$thin" 25 3 || fail "thin-provisioning savings $thin, expected about 25"
  expect_match out "^$count +\|dev\.img +\|" 1
}

test_exhaustive_batch_counts_in_totals() {
  make_image a.img 4
  put a.img 0 32 random
  make_image b.img 8
  put b.img 0 64 numbers
  printf '%s\n' "$work/a.img" "$work/b.img" > devices.txt
  run -s VRT --config devices.txt -p 2 -e -c out.csv
  expect_status 0 "exhaustive batch"
  # Each device read to its end is complete: not marked, and both are in the totals.
  expect_match out '\*\*' 0
  expect_match out "^Total +\|2 Devices +\|" 1
  expect_match out.csv '\*\*' 0
  expect_match out.csv "^Total,2 Devices," 1
  expect_line vantrel.log "Summarize total 2 devices"
  local a b
  a=$(csv_field out.csv 2 3)
  b=$(csv_field out.csv 3 3)
  [[ $a == 0.004 && $b == 0.008 && "$(csv_field out.csv 7 3)" == 0.012 ]] ||
    fail "total size: $(cat out.csv)"
}

test_mean_ratio_over_measured_samples() {
  make_image text.img 64
  put text.img 0 1024 text
  # With one sample the target is reached while it is still open: nothing was measured, so
  # there is no compression figure to show.
  run -s VRT -d text.img -p 1 -t 1 -c out.csv
  expect_status 0 "-t 1"
  expect_text out ""
  [[ ! -s out.csv ]] || fail "-t 1 wrote figures: $(cat out.csv)"
  expect_lines err "Analysis started at: $TS" "$(re "${NO_FIGURES}text.img): no sample was measured to its end.")"

  # The samples the contexts still hold open at the target do not lower the mean ratio: the
  # figures do not depend on the number of threads beyond sampling noise.
  local p savings=()
  for p in 1 50; do
    run -s VRT -d text.img -p "$p" -t 200 -Q 7 -c "p$p.csv"
    expect_status 0 "-p $p"
    [[ "$(csv_field "p$p.csv" 2 1)" -ge 200 ]] || fail "-p $p: $(cat "p$p.csv")"
    savings+=("$(csv_field "p$p.csv" 2 8)")
  done
  near "${savings[0]}" "${savings[1]}" 0.5 ||
    fail "compression savings ${savings[0]}% with 1 thread, ${savings[1]}% with 50"
}

test_exhaustive_figure_weights_samples_by_blocks() {
  make_image text.img 64
  put text.img 0 1024 text
  # Every sample of the repeated line reaches the input cap in its eighth block, a ratio of
  # 1/15. An exhaustive pass counts each block a sample used as a non-zero sample and credits
  # the sample's ratio as often: the savings are 1 - 1/15 with any number of threads.
  local threads
  for threads in "" "-p 1"; do
    # shellcheck disable=SC2086
    run -s VRT --storageVer 7.1 -d text.img -e $threads -c out.csv
    expect_status 0 "exhaustive ${threads:-with the default threads}"
    [[ "$(csv_field out.csv 2 6),$(csv_field out.csv 2 7),$(csv_field out.csv 2 8)" == 93.333,0.000,93.333 ]] ||
      fail "exhaustive ${threads:-with the default threads}: $(cat out.csv)"
  done
}

test_csv_quotes_names() {
  # name | the CSV field
  local cases=(
    'a,b.img|"a,b.img"'
    'say "x".img|"say ""x"".img"'
    '"q",r.img|"""q"",r.img"'
    'plain-name.img|plain-name.img'
  )
  local entry name field
  for entry in "${cases[@]}"; do
    IFS='|' read -r name field <<< "$entry"
    make_image "$name" 4
    put "$name" 0 64 random
    run -s VRT -d "$name" -p 1 -t 20 -c out.csv
    expect_status 0 "$name"
    local line
    line=$(sed -n 2p out.csv)
    [[ $line == "20,$field,0.004,"* ]] || fail "$name: CSV line $line"
    # Nine fields once the quoted one is taken as one.
    local rest=${line#"20,$field,"}
    [[ $(awk -F, '{ print NF }' <<< "$rest") == 7 ]] || fail "$name: fields after the name: $rest"
    rm -f "$name" out.csv
  done
}

# A device that holds less than it did when it was sized (a file cut to half while its first
# read waits): the figures of what was read stay, and the console and the log say which device
# ended early, at which offset and after how many samples. A partial last block at the true end
# of a device is no early end.
test_short_read_inside_the_device_is_told() {
  data_image shrinking.img 32
  start_stalled shrinking.img out -s VRT -d shrinking.img -p 1 -Q 7 -t 400 -c out.csv
  wait_for_line stalled.err '^Analysis started at: ' || return
  truncate -s 16M shrinking.img
  finish_stalled
  expect_status 0 "a device cut to half"
  local line="^The sampling of the device \\(shrinking\\.img\\) ended early at byte offset ([0-9]+), after ([0-9]+) samples: a read returned fewer bytes than asked\\.$"
  expect_match stalled.err "$line" 1
  expect_match vantrel.log "^$TS ${line#^}" 1
  [[ "$(grep -E "$line" stalled.err)" =~ $line ]] || return
  local offset=${BASH_REMATCH[1]} samples=${BASH_REMATCH[2]}
  ((offset >= 16 << 20 && offset < 32 << 20)) || fail "the early end's offset $offset is not in the cut half"
  expect_match out.csv "^$samples,shrinking\\.img," 1

  # 16 MiB and 1000 bytes: its last block is partial at the true end, read short as it must be.
  data_image partial.img 16
  head -c 1000 /dev/urandom >> partial.img
  run -s VRT -d partial.img -p 1 -Q 7 -t 400 -c partial.csv
  expect_status 0 "a partial last block"
  ! grep -q "ended early" err || fail "a partial last block told as an early end: $(cat err)"
  expect_match partial.csv "^400,partial\\.img," 1
}

run_named_test "$@"
