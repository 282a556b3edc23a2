#!/usr/bin/env bash
# Black-box tests: the log and CSV files are judged on what their open reached, and where the
# run cannot learn what an input reads (a loop device the user cannot open, no sysfs, a device
# without a node, a backing file's name that was removed, a stack deeper than any real one) no
# existing file is written, with the reason; a file the run creates, the null device and the
# standard streams stay allowed. Inputs that read nothing (a node without a device, a name the
# user cannot reach) leave existing files writable. What an input reads includes the image
# behind a loop-mounted file system that holds it. An output that is the file standard output
# or standard error writes to is written through that stream.
#   usage: guard_closed_test.sh <test name>
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/cli_lib.sh"

loops=()
mounts=()
# Loop devices are detached from the top of a stack down, before the file systems that hold
# their files are unmounted.
trap 'for ((i = ${#loops[@]} - 1; i >= 0; i--)); do losetup -d "${loops[i]}"; done
      for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount "${mounts[i]}"; done; rm -rf "$work"' EXIT

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

# stack_loops variable file count: a stack of `count` loop devices, the first over the file and
# each other over the one before; the top's name goes into the variable. Skips where no loop
# device can be attached; fails (status 1) where the stack cannot be completed.
stack_loops() {
  require_loop "$1" "$2"
  local i
  for ((i = 2; i <= $3; i++)); do
    attach_loop "$1" "${!1}" || { fail "loop device $i of the stack could not be attached"; return 1; }
  done
}

# expect_refused status message file: the run ended with the status, its standard error's last
# line is the message, and the file still holds what digest_before recorded.
expect_refused() {
  expect_status "$1" "$2"
  [[ "$(tail -n 1 err)" == "$2" ]] || fail "stderr: $(cat err), expected the line: $2"
  [[ "$(md5sum < "$3")" == "$kept_digest" ]] || fail "$3 was written: $2"
}

# check_cases program cases...: runs the command in the array named `program` with the options
# of each case "options|status|stderr's last line|file" (split at blanks; a last --logfile gets
# an empty name) and expects that status and line, and the file as it was before the run.
check_cases() {
  local -n program=$1
  shift
  local entry options code message file
  for entry; do
    IFS='|' read -r options code message file <<< "$entry"
    read -r -a options <<< "$options"
    [[ ${options[-1]} == --logfile ]] && options+=("")
    kept_digest=$(md5sum < "$file")
    "${program[@]}" "${options[@]}" > out 2> err
    status=$?
    expect_refused "$code" "$message" "$file"
  done
}

# as_nobody_setup: a folder `user` of the user nobody's own (the work folder made searchable),
# holding a copy of the program that user may run; puts into the array as_user the command
# line that runs it as that user. Skips where no user can be switched to.
as_nobody_setup() {
  command -v setpriv > /dev/null || skip "setpriv is missing"
  id nobody > /dev/null 2>&1 || skip "there is no user nobody to run as"
  chmod 755 "$work"
  mkdir user && cp "$VANTREL" user/vantrel
  chown nobody user
  as_user=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups "$work/user/vantrel" -s VRT -p 1 -t 20)
}

test_outputs_over_a_loop_the_user_cannot_open() {
  as_nobody_setup
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
  "${as_user[@]}" -d "$loop" -p 1 > /dev/null 2>&1 && skip "the user can open $loop here"

  # The root-owned loop device cannot be opened by the image's owner; sysfs names its file.
  local cases=(
    "-d $loop --logfile u.img|12|Cannot create logfile u.img - Operation not permitted"
    "-d $loop -c u.img --logfile ''|10|cannot create csv fileu.img - Operation not permitted"
    "--config b.txt --logfile u.img|12|Cannot create logfile u.img - Operation not permitted"
    "--config b.txt -c u.img --logfile run.log|10|cannot create csv fileu.img - Operation not permitted"
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
  # A /dev that holds the top loop device alone: the one below it has no node to ask; sysfs,
  # where it is mounted, still names its backing file.
  local numbers
  numbers=$(stat -c '%t %T' "$over")
  local only_top="mount -t tmpfs none /dev && mknod -m 666 /dev/null c 1 3"
  only_top+=" && mknod $over b $((16#${numbers% *})) $((16#${numbers#* }))"
  local top_only="$no_sys && $only_top"
  local unknown="The run cannot tell whether this file is what $over reads (no node in /dev for device $(stat -c '%Hr:%Lr' "$loop"))"

  # setup | options | status | stderr's last line
  local cases=(
    "$no_sys|-d $loop --logfile s.img|12|Cannot create logfile s.img - Operation not permitted"
    "$no_sys|-d $over -c s.img --logfile|10|cannot create csv files.img - Operation not permitted"
    "$top_only|-d $over --logfile s.img|12|Cannot create logfile s.img - $unknown"
    "$top_only|-d $over -c s.img --logfile|10|cannot create csv files.img - $unknown"
    "$only_top|-d $over --logfile s.img|12|Cannot create logfile s.img - Operation not permitted"
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
  stack_loops below s.img 10 || return
  kept_digest=$(md5sum < s.img)
  run -s VRT -p 1 -t 20 -d "$below" -c s.img --logfile ''
  expect_refused 10 "cannot create csv files.img - The run cannot tell whether this file is what $below reads (a stack more than nine devices deep)" s.img
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
      code=10 message="cannot create csv fileout.file - Operation not permitted"
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

# A loop device whose backing file's name was removed (sysfs shows it with " (deleted)"), while
# the file lives on under another name and a file of the shown name is a decoy: for a user who
# cannot open the loop device, the name tells nothing, so no existing file is written.
test_outputs_over_a_loop_whose_backing_name_was_removed() {
  as_nobody_setup
  data_image user/d.img 16
  data_image user/other.img 16
  require_loop loop user/d.img
  ln user/d.img user/d2.img
  rm user/d.img
  echo "another file" > "user/d.img (deleted)"
  printf '%s\n' "$work/user/other.img" "$loop" > user/b.txt
  chown -R nobody user
  cd user || return
  "${as_user[@]}" -d "$loop" > /dev/null 2>&1 && skip "the user can open $loop here"
  [[ "$(cat "/sys/dev/block/$(stat -c '%Hr:%Lr' "$loop")/loop/backing_file" 2> /dev/null)" == *" (deleted)" ]] ||
    skip "sysfs does not show the backing file's name of $loop here"
  local removed="The run cannot tell whether this file is what $loop reads (the name of the backing file of $loop was removed)"
  local cases=(
    "-d $loop --logfile d2.img|12|Cannot create logfile d2.img - $removed|d2.img"
    "-d $loop -c d2.img --logfile|10|cannot create csv filed2.img - $removed|d2.img"
    "--config b.txt --logfile d2.img|12|Cannot create logfile d2.img - $removed|d2.img"
    "--config b.txt -c d2.img --logfile run.log|10|cannot create csv filed2.img - $removed|d2.img"
  )
  check_cases as_user "${cases[@]}"
  expect_line run.log "cannot create csv filed2.img - $removed"
}

# stale_node file: makes `file` a block device node whose number has no device behind it (a
# container's /dev keeps the nodes of removed disks) and puts the error number that opening it
# gives into $stale_errno. Fails where none can be made.
stale_node() {
  local major text
  for major in 252 251 250 249 248 240; do
    [[ -e /sys/dev/block/$major:0 ]] && continue
    rm -f "$1"
    mknod -m 600 "$1" b "$major" 0 2> /dev/null || return 1
    text=$(head -c 1 "$1" 2>&1 > /dev/null)
    case $text in
      *"No such device or address") stale_errno="6 Error Message: No such device or address"; return 0 ;;
      *"No such device") stale_errno="19 Error Message: No such device"; return 0 ;;
    esac
  done
  return 1
}

# Inputs that read nothing (a node with no device behind it, a name the user cannot reach)
# leave existing files writable: a command run again in its folder, over the log of its first
# run, ends as the first did. An input that cannot be opened ends the run with its own error.
test_reruns_beside_inputs_that_read_nothing() {
  as_nobody_setup
  stale_node user/stale || skip "no block device node without a device can be made here (mknod)"
  data_image user/u.img 16
  mkdir closed
  data_image closed/c.img 16
  chmod 700 closed
  printf '%s\n' "$work/user/u.img" "$work/user/stale" "$work/closed/c.img" > user/b.txt
  local as_root=("$work/user/vantrel" -s VRT -p 1 -t 20)
  local size_error="device size Errno :"
  # who | options | status | file | a line of it
  local cases=(
    "as_root|--config $work/user/b.txt|0|vantrel.log|Summarize total 2 devices"
    "as_user|--config $work/user/b.txt|0|vantrel.log|Summarize total 1 devices"
    "as_root|-d $work/user/stale|15|err|Cannot read ($work/user/stale) $size_error $stale_errno"
    "as_user|-d $work/user/stale|15|err|Cannot read ($work/user/stale) $size_error 13 Error Message: Permission denied"
    "as_user|-d $work/closed/c.img|15|err|Cannot read ($work/closed/c.img) $size_error 13 Error Message: Permission denied"
  )
  local entry who options code file line i=0 round program
  for entry in "${cases[@]}"; do
    IFS='|' read -r who options code file line <<< "$entry"
    read -r -a options <<< "$options"
    if [[ $who == as_user ]]; then program=("${as_user[@]}"); else program=("${as_root[@]}"); fi
    i=$((i + 1))
    mkdir "user/run$i" && chown nobody "user/run$i"
    for round in first again; do
      (cd "user/run$i" && exec "${program[@]}" "${options[@]}" > out 2> err)
      status=$?
      [[ $status == "$code" ]] || fail "$who ${options[*]}, $round: exit status $status, expected $code; stderr: $(tail -n 1 "user/run$i/err")"
      expect_line "user/run$i/$file" "$line"
    done
  done
}

# An input that is a file on a file system that a loop device holds reads that loop device's
# backing file too, down to a file system on a loop device over a file of such a file system;
# the outputs never land on them. Files on other devices' file systems stay writable.
test_outputs_over_images_of_loop_mounted_file_systems() {
  command -v mkfs.ext4 > /dev/null || skip "mkfs.ext4 is missing"
  mkdir -p in/disk in/inner in/outer
  data_image in/disk/vm.img 16
  data_image in/inner/deep.img 8
  make_image disk.img 64
  make_image in/outer/inner.img 32
  make_image outer.img 64
  mkfs.ext4 -q -d in/disk disk.img && mkfs.ext4 -q -d in/inner in/outer/inner.img && mkfs.ext4 -q -d in/outer outer.img ||
    skip "mkfs.ext4 cannot make a file system from a folder here"
  local folder
  for folder in mnt outer inner; do mkdir "$folder"; done
  mount -o loop,ro disk.img mnt 2> /dev/null || skip "no file system image can be mounted here (mount -o loop)"
  mounts+=("$work/mnt")
  mount -o loop,ro outer.img outer && mounts+=("$work/outer") && mount -o loop,ro outer/inner.img inner &&
    mounts+=("$work/inner") || { fail "the nested file system images could not be mounted"; return; }
  require_loop vm_loop mnt/vm.img
  echo "$work/mnt/vm.img" > b.txt
  echo "an earlier run" > other.log
  local as_root=("$VANTREL" -s VRT -p 1 -t 20)
  local cases=(
    "-d mnt/vm.img -c disk.img --logfile|10|cannot create csv filedisk.img - Operation not permitted|disk.img"
    "-d mnt/vm.img --logfile disk.img|12|Cannot create logfile disk.img - Operation not permitted|disk.img"
    "--config b.txt --logfile disk.img|12|Cannot create logfile disk.img - Operation not permitted|disk.img"
    "-d $vm_loop -c disk.img --logfile|10|cannot create csv filedisk.img - Operation not permitted|disk.img"
    "-d inner/deep.img --logfile outer.img|12|Cannot create logfile outer.img - Operation not permitted|outer.img"
  )
  check_cases as_root "${cases[@]}"
  run -s VRT -p 1 -t 20 -d inner/deep.img --logfile other.log
  expect_status 0 "an existing log on the file system of the work folder"
  expect_line other.log "Finished vantrel"

  # Without sysfs a loop device is still known by its number, and the file system of an
  # ordinary disk is still not followed.
  if ! unshare -m true 2> /dev/null; then
    echo "note: no mount namespace can be made here (unshare -m); the cases without sysfs are not run" >&2
    return
  fi
  local no_sys='mount -t tmpfs none /sys'
  kept_digest=$(md5sum < disk.img)
  in_private_mounts "$no_sys" -- -s VRT -p 1 -t 20 -d mnt/vm.img --logfile disk.img
  expect_refused 12 "Cannot create logfile disk.img - Operation not permitted" disk.img
  echo "an earlier run" > other.log
  in_private_mounts "$no_sys" -- -s VRT -p 1 -t 20 -d in/disk/vm.img --logfile other.log
  expect_status 0 "an existing log on the file system of the work folder, without sysfs"
  expect_line other.log "Finished vantrel"
}

# A stack nine loop devices deep is followed to its end by the guard and by the batch's
# duplicate check alike: its top is the image below it.
test_nine_stacked_loops_followed_by_guard_and_batch() {
  data_image s.img 16
  stack_loops top s.img 9 || return
  printf '%s\n' "$work/s.img" "$top" > b.txt
  run -s VRT --config b.txt -p 1 -t 20 -Q 3
  expect_status 0 "a batch of an image and the top of a stack over it"
  expect_match vantrel.log "^$TS $(re "batch file duplicate entry error: (line 2) \"$top\" is already listed")$" 1
  expect_line vantrel.log "Summarize total 1 devices"
  kept_digest=$(md5sum < s.img)
  run -s VRT -p 1 -t 20 -d "$top" --logfile s.img
  expect_refused 12 "Cannot create logfile s.img - Operation not permitted" s.img
  run -s VRT -p 1 -t 20 -d "$top" --logfile vantrel.log
  expect_status 0 "an existing log beside a stack nine devices deep"
}

run_named_test "$@"
