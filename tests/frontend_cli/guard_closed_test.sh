#!/usr/bin/env bash
# Black-box tests: the log and CSV files are judged on what their open reached, and where the
# run cannot learn what an input reads (a loop device the user cannot open, no sysfs, a device
# without a node, a stack deeper than any real one) no existing file is written; a file the run
# creates, the null device and the standard streams stay allowed. An output that is the file
# standard output or standard error writes to is written through that stream.
#   usage: guard_closed_test.sh <test name>
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/cli_lib.sh"

loops=()
trap 'for ((i = ${#loops[@]} - 1; i >= 0; i--)); do losetup -d "${loops[i]}"; done; rm -rf "$work"' EXIT

# attach_loop variable file [losetup options...]: attaches the file to a free loop device and
# puts the device's name into the variable; detached when the test ends. Read-only unless the
# options are just -w. Fails where no loop device can be attached.
attach_loop() {
  local name options=(-r "${@:3}")
  [[ "${*:3}" == -w ]] && options=()
  name=$(losetup "${options[@]}" -f --show "$2" 2> /dev/null) || return 1
  loops+=("$name")
  printf -v "$1" '%s' "$name"
}

skip() { echo "skipped: $*" >&2; exit 77; }

require_loop() { attach_loop "$@" || skip "no loop device can be attached here (losetup -f --show failed)"; }

# expect_refused status message file: the run ended with the status, its standard error's last
# line is the message, and the file still holds what digest_before recorded.
expect_refused() {
  expect_status "$1" "$2"
  [[ "$(tail -n 1 err)" == "$2" ]] || fail "stderr: $(cat err), expected the line: $2"
  [[ "$(md5sum < "$3")" == "$kept_digest" ]] || fail "$3 was written: $2"
}

test_outputs_over_a_loop_the_user_cannot_open() {
  command -v setpriv > /dev/null || skip "setpriv is missing"
  id nobody > /dev/null 2>&1 || skip "there is no user nobody to run as"
  # A folder of the user's own, with a copy of the program the user may run.
  chmod 755 "$work"
  mkdir user && cp "$VANTREL" user/vantrel
  data_image user/u.img 16
  data_image user/other.img 16
  printf '%s\n' "$work/user/other.img" > user/b.txt
  # A backing file whose name holds a newline, beside a file named by the name's first line.
  data_image user/$'n\nimg' 16
  : > user/n
  chown -R nobody user
  require_loop loop user/u.img
  attach_loop newline_loop user/$'n\nimg' || { fail "a second loop device could not be attached"; return; }
  printf '%s\n' "$loop" >> user/b.txt
  cd user || return
  kept_digest=$(md5sum < u.img)
  local newline_digest
  newline_digest=$(md5sum < $'n\nimg')
  local as_user=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups ./vantrel -s VRT -p 1 -t 20)
  "${as_user[@]}" -d "$loop" -p 1 > /dev/null 2>&1 && skip "the user can open $loop here"

  # The root-owned loop device cannot be opened by the image's owner; sysfs names its file.
  local cases=(
    "-d $loop --logfile u.img|12|Cannot create logfile u.img - Operation not permitted"
    "-d $loop -c u.img --logfile ''|10|cannot create csv fileu.img"
    "--config b.txt --logfile u.img|12|Cannot create logfile u.img - Operation not permitted"
    "--config b.txt -c u.img --logfile run.log|10|cannot create csv fileu.img"
  )
  local entry options code message
  for entry in "${cases[@]}"; do
    IFS='|' read -r options code message <<< "$entry"
    eval "\"\${as_user[@]}\" $options" > out 2> err
    status=$?
    expect_refused "$code" "$message" u.img
  done
  "${as_user[@]}" -d "$newline_loop" -c $'n\nimg' --logfile '' > out 2> err
  status=$?
  expect_status 10 "a CSV file over a backing file whose name holds a newline"
  [[ "$(md5sum < $'n\nimg')" == "$newline_digest" ]] || fail "the backing file whose name holds a newline was written"
}

# in_private_mounts setup -- args...: runs vantrel with args in a mount namespace of its own,
# after the shell commands `setup` (its standard output in out, standard error in err, status
# in $status).
in_private_mounts() {
  local setup=$1
  shift 2
  unshare -m bash -c "$setup"' && exec "$@"' _ "$VANTREL" "$@" > out 2> err
  status=$?
}

test_outputs_without_sysfs() {
  unshare -m true 2> /dev/null || skip "no mount namespace can be made here (unshare -m)"
  data_image s.img 16
  require_loop loop s.img
  require_loop over "$loop"
  kept_digest=$(md5sum < s.img)
  local no_sys='mount -t tmpfs none /sys'
  # A /dev that holds the top loop device alone: the one below it has no node to ask.
  local numbers
  numbers=$(stat -c '%t %T' "$over")
  local top_only="$no_sys && mount -t tmpfs none /dev && mknod -m 666 /dev/null c 1 3"
  top_only+=" && mknod $over b $((16#${numbers% *})) $((16#${numbers#* }))"
  local unknown="The run cannot tell whether this file is what $over reads (no node in /dev for device $(stat -c '%Hr:%Lr' "$loop"))"

  # setup | options | status | stderr's last line
  local cases=(
    "$no_sys|-d $loop --logfile s.img|12|Cannot create logfile s.img - Operation not permitted"
    "$no_sys|-d $over -c s.img --logfile|10|cannot create csv files.img"
    "$top_only|-d $over --logfile s.img|12|Cannot create logfile s.img - $unknown"
    "$top_only|-d $over -c s.img --logfile|10|cannot create csv files.img"
  )
  local entry setup options code message
  for entry in "${cases[@]}"; do
    IFS='|' read -r setup options code message <<< "$entry"
    read -r -a options <<< "$options"
    [[ ${options[-1]} == --logfile ]] && options+=("")
    in_private_mounts "$setup" -- -s VRT -p 1 -t 20 "${options[@]}"
    expect_refused "$code" "$message" s.img
  done

  # The CSV's reason is in the log; a file the run creates is still written.
  in_private_mounts "$top_only" -- -s VRT -p 1 -t 20 -d "$over" -c s.img --logfile run.log
  expect_line run.log "cannot create csv files.img - $unknown"
  in_private_mounts "$top_only" -- -s VRT -p 1 -t 20 -Q 7 -d "$over" -c fresh.csv --logfile ''
  expect_status 0 "a fresh CSV file below a device that cannot be followed"
  expect_match fresh.csv "^[0-9]+,$(re "$over")," 1
}

test_outputs_below_ten_stacked_loops() {
  data_image s.img 16
  require_loop below s.img
  local i
  for i in {2..10}; do
    attach_loop below "$below" || { fail "loop device $i of the stack could not be attached"; return; }
  done
  kept_digest=$(md5sum < s.img)
  run -s VRT -p 1 -t 20 -d "$below" -c s.img --logfile ''
  expect_refused 10 "cannot create csv files.img" s.img
  run -s VRT -p 1 -t 20 -d "$below" --logfile s.img
  expect_refused 12 "Cannot create logfile s.img - The run cannot tell whether this file is what $below reads (a stack more than nine devices deep)" s.img
}

test_output_name_swapped_to_a_device_at_its_open() {
  data_image data.img 16
  make_image scratch.img 16
  put scratch.img 0 16 text
  require_loop device scratch.img -w
  kept_digest=$(md5sum < scratch.img)
  local option code message
  for option in --logfile -c; do
    # A link to nothing, which another program turns into a link to the device at the open.
    rm -f out.file
    ln -s missing.file out.file
    if [[ $option == --logfile ]]; then
      code=12 message="Cannot create logfile out.file - Operation not permitted"
      faulty VANTREL_FAULT_SWAP_AT_OPEN=out.file VANTREL_FAULT_SWAP_TO="$device" -- \
        -s VRT -d data.img -p 1 -t 20 --logfile out.file
    else
      code=10 message="cannot create csv fileout.file"
      faulty VANTREL_FAULT_SWAP_AT_OPEN=out.file VANTREL_FAULT_SWAP_TO="$device" -- \
        -s VRT -d data.img -p 1 -t 20 -c out.file --logfile ''
    fi
    [[ -L out.file && "$(readlink out.file)" == "$device" ]] || fail "$option: the name was not swapped"
    expect_refused "$code" "$message" scratch.img
  done
}

test_outputs_on_the_standard_streams() {
  data_image d.img 16
  local args=(-s VRT -d d.img -p 1 -t 20 -Q 7)
  local row="^[0-9]+,d\\.img,"
  "$VANTREL" "${args[@]}" -c /dev/stdout --logfile '' > res.txt 2> err
  status=$?
  expect_status 0 "-c /dev/stdout > res.txt"
  expect_line res.txt "$CSV_HEADER"
  expect_match res.txt "$row" 1
  expect_match res.txt '^ Sample# ' 1

  local case
  for case in csv-out log-out csv-err; do
    echo "an earlier line" > res.txt
    case $case in
      csv-out) "$VANTREL" "${args[@]}" -c /dev/stdout --logfile '' >> res.txt 2> err ;;
      log-out) "$VANTREL" "${args[@]}" --logfile /dev/stdout >> res.txt 2> err ;;
      csv-err) "$VANTREL" "${args[@]}" -c /dev/stderr --logfile '' 2>> res.txt > out ;;
    esac
    status=$?
    expect_status 0 "$case"
    [[ "$(head -n 1 res.txt)" == "an earlier line" ]] || fail "$case: the earlier line is gone: $(head -n 3 res.txt)"
    case $case in
      csv-*) expect_line res.txt "$CSV_HEADER"; expect_match res.txt "$row" 1 ;;
      log-out) expect_match res.txt "^$(re "$(start_line "${args[@]}" --logfile /dev/stdout)")\$" 1
               expect_match res.txt '^ Sample# ' 1 ;;
    esac
  done
}

run_named_test "$@"
