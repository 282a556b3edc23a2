#!/usr/bin/env bash
# Black-box tests: the devices a run reads are known by what their names reach. The log and CSV
# files are never created over a device of the run, however it was named (a disk-number entry
# of the batch file read as a path, the file behind a loop device), and a batch that names one
# device several times (links, other spellings, a loop device over the image) samples it once.
# Nothing but regular files and block devices is opened to find out.
#   usage: input_identity_test.sh <test name>
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/cli_lib.sh"

loops=()
writers=()
# Loop devices are detached from the top of a stack down.
trap 'for ((i = ${#loops[@]} - 1; i >= 0; i--)); do losetup -d "${loops[i]}"; done
      for writer in "${writers[@]}"; do kill "$writer" 2> /dev/null; done; rm -rf "$work"' EXIT

# attach_loop variable file [losetup options...]: attaches the file read-only to a free loop
# device and puts the device's name into the variable; detached when the test ends. Fails where
# no loop device can be attached.
attach_loop() {
  local name
  name=$(losetup -r "${@:3}" -f --show "$2" 2> /dev/null) || return 1
  loops+=("$name")
  printf -v "$1" '%s' "$name"
}

# require_loop file: attaches the file to a loop device (its name in $loop), or skips the test
# with the reason.
require_loop() {
  if ! attach_loop loop "$1"; then
    echo "skipped: no loop device can be attached here (losetup -r -f --show failed)" >&2
    exit 77
  fi
}

# check_refusals cases...: each case "options|expected status|stderr's last line" runs with the
# batch file b.txt unless the options name another device, and must leave the image files as
# they were (run checks that) and give the status and message.
check_refusals() {
  local entry options code message
  for entry; do
    IFS='|' read -r options code message <<< "$entry"
    # shellcheck disable=SC2086
    run -s VRT -p 1 -t 20 $options
    expect_status "$code" "$options"
    [[ "$(cat err)" == *"$message" ]] || fail "$options: stderr $(cat err)"
  done
}

# A disk-number entry is read as a path on Linux ([0] samples ./0): ./0 is one of the run's
# inputs, so neither output may empty it.
test_outputs_never_over_number_entries() {
  make_image 0.img 16
  put 0.img 0 64 text
  ln 0.img 0
  echo '[0]' > b.txt
  check_refusals \
    "--config b.txt --logfile 0|12|Cannot create logfile 0 - Operation not permitted" \
    "--config b.txt --logfile run.log -c 0|10|cannot create csv file0 - Operation not permitted"
  [[ $(stat -c %s 0) == $((16 << 20)) ]] || fail "./0 is now $(stat -c %s 0) bytes"
}

# The file behind a loop device holds what the run reads from the device: the outputs may not
# land on it, whether the loop device comes from -d or from the batch file. A log file on the
# file system of the system disk sampled stays allowed.
test_outputs_never_over_loop_backing_files() {
  make_image v.img 16
  put v.img 0 64 text
  require_loop v.img
  echo "$loop" > b.txt
  check_refusals \
    "-d $loop --logfile v.img|12|Cannot create logfile v.img - Operation not permitted" \
    "-d $loop --logfile run.log -c v.img|10|cannot create csv filev.img - Operation not permitted" \
    "--config b.txt --logfile v.img|12|Cannot create logfile v.img - Operation not permitted"
  [[ $(stat -c %s v.img) == $((16 << 20)) ]] || fail "v.img is now $(stat -c %s v.img) bytes"

  # The device holding the work folder's file system, when it is a block device this test may
  # read.
  local number disk
  number=$(stat -c '%Hd:%Ld' "$work")
  disk=/dev/$(sed -n 's/^DEVNAME=//p' "/sys/dev/block/$number/uevent" 2> /dev/null)
  if [[ -b $disk ]] && head -c 512 "$disk" > /dev/null 2>&1; then
    run -s VRT -p 1 -t 20 -d "$disk" --logfile "$work/system.log"
    expect_status 0 "a log on the file system of $disk"
    expect_line system.log "Finished vantrel"
  else
    echo "note: the work folder's file system has no block device that can be read; that case is not run" >&2
  fi
}

# One image under five names (the path, a symbolic link, a hard link, ./ and // spellings) and
# as the disk-number entry [0] (the file ./0, another hard link) is sampled once; each later
# name is reported as a duplicate of its line. A name that cannot be opened is compared by its
# text only: both spellings of a missing file stay and are skipped as unsizable.
test_batch_names_of_one_device_sampled_once() {
  make_image one.img 16
  put one.img 0 64 text
  ln -s one.img soft
  ln one.img hard
  ln one.img 0
  local lines=("$work/one.img" "$work/soft" "$work/hard" "$work/./one.img" "/$work/one.img" "[0]"
               "$work/missing" "/$work/missing")
  printf '%s\n' "${lines[@]}" > b.txt
  run -s VRT --config b.txt -p 1 -t 20 -Q 3 -c run.csv
  expect_status 0 "batch of one image"
  local i
  for i in 1 2 3 4 5; do
    expect_match vantrel.log "^$TS $(re "batch file duplicate entry error: (line $((i + 1))) \"${lines[i]}\" is already listed")$" 1
  done
  expect_occurrences vantrel.log "duplicate entry error" 5
  expect_match vantrel.log "^Summarize device " 1
  expect_line vantrel.log "Summarize device $work/one.img:"
  expect_line vantrel.log "Summarize total 1 devices"
  expect_match err "^Can't evaluate .*missing size, skipping$" 2
  expect_match run.csv "^Total,1 Device," 1
  expect_match out "^Total +\\|1 Device +\\|" 1
}

# A loop device that shows the whole image reads what the image holds: listed with the image it
# is a duplicate. A loop device over a part of the image (an offset) is another device.
test_loop_device_and_its_image_sampled_once() {
  make_image one.img 16
  put one.img 0 64 text
  require_loop one.img
  local part
  attach_loop part one.img -o 1048576 || fail "a second loop device could not be attached"
  printf '%s\n' "$work/one.img" "$loop" "$part" > b.txt
  run -s VRT --config b.txt -p 1 -t 20 -Q 3
  expect_status 0 "image and loop devices"
  expect_match vantrel.log "^$TS $(re "batch file duplicate entry error: (line 2) \"$loop\" is already listed")$" 1
  expect_occurrences vantrel.log "duplicate entry error" 1
  expect_line vantrel.log "Summarize device $work/one.img:"
  expect_line vantrel.log "Summarize device $part:"
  expect_line vantrel.log "Summarize total 2 devices"
}

# The loop device itself tells which file it reads, so the outputs never land on that file
# however it is reached: through a loop device over a loop device (from -d or the batch file),
# by a name holding a newline, or by a hard link after the name the loop device was attached
# by has been removed.
test_outputs_never_over_loop_backing_files_by_identity() {
  make_image g.img 16
  put g.img 0 64 text
  local newline=$'new\nline.img'
  make_image "$newline" 16
  make_image first.img 16
  put first.img 0 64 numbers
  ln first.img kept.img
  require_loop g.img
  local over newline_loop deleted_loop
  attach_loop over "$loop" && attach_loop newline_loop "$newline" && attach_loop deleted_loop first.img ||
    { fail "further loop devices could not be attached"; return; }
  rm first.img
  echo "$over" > b.txt
  # device options|the file both outputs are aimed at
  local cases=("-d $over|g.img" "--config b.txt|g.img" "-d $newline_loop|$newline" "-d $deleted_loop|kept.img")
  local entry options target
  for entry in "${cases[@]}"; do
    IFS='|' read -r -d '' options target <<< "$entry"
    target=${target%$'\n'}
    # shellcheck disable=SC2086
    run -s VRT -p 1 -t 20 $options --logfile "$target"
    expect_status 12 "$options --logfile $target"
    [[ "$(cat err)" == *"Cannot create logfile $target - Operation not permitted" ]] || fail "$options --logfile $target: stderr $(cat err)"
    # shellcheck disable=SC2086
    run -s VRT -p 1 -t 20 $options --logfile run.log -c "$target"
    expect_status 10 "$options -c $target"
    [[ "$(cat err)" == *"cannot create csv file$target - Operation not permitted" ]] || fail "$options -c $target: stderr $(cat err)"
    [[ $(stat -c %s "$target") == $((16 << 20)) ]] || fail "$target is now $(stat -c %s "$target") bytes"
  done
}

# A loop device that shows the whole file is that file, also when its size limit is the file's
# size or when it is a loop device over a loop device over the file; the first name listed
# stays. A size limit below the file's size shows a part of it: another device.
test_batch_loops_over_whole_files_sampled_once() {
  make_image s.img 16
  put s.img 0 64 text
  make_image g.img 16
  put g.img 0 64 numbers
  require_loop g.img
  local over limited half
  attach_loop over "$loop" && attach_loop limited s.img --sizelimit $((16 << 20)) &&
    attach_loop half s.img --sizelimit $((8 << 20)) || { fail "further loop devices could not be attached"; return; }
  local lines=("$limited" "$work/s.img" "$work/g.img" "$over" "$half")
  printf '%s\n' "${lines[@]}" > b.txt
  run -s VRT --config b.txt -p 1 -t 20 -Q 3 -c run.csv
  expect_status 0 "loop devices beside their images"
  local line
  for line in 2 4; do
    expect_match vantrel.log "^$TS $(re "batch file duplicate entry error: (line $line) \"${lines[line - 1]}\" is already listed")$" 1
  done
  expect_occurrences vantrel.log "duplicate entry error" 2
  for line in "$limited" "$work/g.img" "$half"; do expect_line vantrel.log "Summarize device $line:"; done
  expect_line vantrel.log "Summarize total 3 devices"
  expect_match run.csv "^Total,3 Devices," 1
}

# check_batch entries...: each entry "keep:NAME" or "dup:NAME", one batch line each in that
# order; the run samples the kept names and reports each other line as a duplicate.
check_batch() {
  local entry line=0 kept=0
  printf '%s\n' "${@#*:}" > b.txt
  run -s VRT --config b.txt -p 1 -t 20 -Q 3 -c run.csv
  expect_status 0 "batch ${*#*:}"
  for entry; do
    line=$((line + 1))
    if [[ $entry == dup:* ]]; then
      expect_match vantrel.log "^$TS $(re "batch file duplicate entry error: (line $line) \"${entry#dup:}\" is already listed")$" 1
    else
      kept=$((kept + 1))
      expect_line vantrel.log "Summarize device ${entry#keep:}:"
    fi
  done
  expect_occurrences vantrel.log "duplicate entry error" $((line - kept))
  expect_line vantrel.log "Summarize total $kept devices"
  expect_match run.csv "^Total,$kept Devices," 1
}

# Loop devices at offset 0 over one file that show as many bytes as the file holds are that
# file, whatever their size limits (none, the file's size, beyond it) and in any order, also as
# the top of a loop over such a loop; loops cut to one smaller size are one part of it.
test_batch_loops_showing_one_size_of_a_file_sampled_once() {
  make_image s.img 16
  put s.img 0 64 text
  require_loop s.img
  local plain=$loop exact beyond over over_beyond half half_too
  attach_loop exact s.img --sizelimit $((16 << 20)) && attach_loop beyond s.img --sizelimit $((32 << 20)) &&
    attach_loop over "$plain" --sizelimit $((16 << 20)) && attach_loop over_beyond "$beyond" &&
    attach_loop half s.img --sizelimit $((8 << 20)) && attach_loop half_too s.img --sizelimit $((8 << 20)) ||
    { fail "further loop devices could not be attached"; return; }
  check_batch "keep:$plain" "dup:$exact" "dup:$beyond" "dup:$work/s.img" "dup:$over" "keep:$half" \
    "dup:$over_beyond" "dup:$half_too"
  check_batch "keep:$over_beyond" "keep:$half_too" "dup:$work/s.img" "dup:$exact" "dup:$half" "dup:$plain"
}

# A named pipe listed as a device is never opened, neither by the batch's duplicate check nor
# by the sizing: a writer waiting on it is still waiting after the run. The batch skips it as
# unsizable; as the -d device it ends the run with its size error.
test_named_pipes_never_opened() {
  make_image data.img 16
  put data.img 0 64 text
  mkfifo pipe
  printf '%s\n' "$work/pipe" "$work/data.img" > b.txt
  local size_error="Cannot read ($work/pipe) device size Errno : 15 Error Message: Block device required"
  # options|status|a line of stderr|a line of the log
  local cases=(
    "--config b.txt|0|Can't evaluate $work/pipe size, skipping|Summarize device $work/data.img:"
    "-d $work/pipe|15|$size_error|$size_error"
  )
  local entry options code message log_line writer i
  for entry in "${cases[@]}"; do
    IFS='|' read -r options code message log_line <<< "$entry"
    echo x 2> /dev/null > pipe &
    writer=$!
    writers+=("$writer")
    # The writer blocks in its open until a reader opens the pipe (hang guard: 10 minutes).
    for ((i = 0; i < 6000; i++)); do
      [[ $(cat "/proc/$writer/wchan" 2> /dev/null) == wait_for_partner ]] && break
      sleep 0.1
    done
    [[ $(cat "/proc/$writer/wchan" 2> /dev/null) == wait_for_partner ]] || { fail "the writer never waited on the pipe"; return; }
    # shellcheck disable=SC2086
    run -s VRT -p 1 -t 20 $options
    expect_status "$code" "$options"
    expect_line err "$message"
    expect_line vantrel.log "$log_line"
    [[ $(cat "/proc/$writer/wchan" 2> /dev/null) == wait_for_partner ]] || fail "$options: the run released the writer waiting on the pipe"
    kill "$writer" 2> /dev/null
    wait "$writer" 2> /dev/null
  done
}

run_named_test "$@"
