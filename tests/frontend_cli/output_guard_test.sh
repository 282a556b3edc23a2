#!/usr/bin/env bash
# Black-box tests: the log and CSV files of a run are never created over one of the run's own
# inputs (a device from -d or from the batch file, or the batch file itself), whatever name,
# link or option combination leads there.
#   usage: output_guard_test.sh <test name>
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/cli_lib.sh"

# digest file: content and modification time, to show that a file was not touched.
digest() { echo "$(md5sum < "$1") $(stat -c '%y %s' "$1")"; }

test_outputs_never_over_batch_inputs() {
  make_image victim.img 16
  put victim.img 0 64 text
  ln victim.img hard.img            # a second name of the same image
  ln -s victim.img soft.img
  echo "$work/victim.img" > list.txt
  ln -s list.txt list-link.txt

  # option | file named | expected status | message (stderr's last line)
  local cases=(
    "--logfile|victim.img|12|Cannot create logfile victim.img - Operation not permitted"
    "--logfile|hard.img|12|Cannot create logfile hard.img - Operation not permitted"
    "--logfile|soft.img|12|Cannot create logfile soft.img - Operation not permitted"
    "--logfile|list.txt|12|Cannot create logfile list.txt - Operation not permitted"
    "--logfile|list-link.txt|12|Cannot create logfile list-link.txt - Operation not permitted"
    "-c|victim.img|10|cannot create csv filevictim.img - Operation not permitted"
    "-c|hard.img|10|cannot create csv filehard.img - Operation not permitted"
    "-c|list.txt|10|cannot create csv filelist.txt - Operation not permitted"
    "-c|list-link.txt|10|cannot create csv filelist-link.txt - Operation not permitted"
  )
  local entry option target code message list_before extra
  for entry in "${cases[@]}"; do
    IFS='|' read -r option target code message <<< "$entry"
    list_before=$(digest list.txt)
    extra=()
    [[ $option == -c ]] && extra=(--logfile run.log)
    run -s VRT --config list.txt -p 1 -t 20 "$option" "$target" "${extra[@]}"
    expect_status "$code" "$option $target"
    [[ "$(cat err)" == *"$message" ]] || fail "$option $target: stderr $(cat err)"
    [[ "$(digest list.txt)" == "$list_before" ]] || fail "$option $target changed the batch file"
    [[ "$(cat list.txt)" == "$work/victim.img" ]] || fail "$option $target: batch file now $(cat list.txt)"
  done
}

# The shell opens standard output and standard error, but the run sees what they are: one that
# is a device or a file the run reads is never written, and the run ends at start-up.
test_standard_streams_never_into_inputs() {
  make_image victim.img 16
  put victim.img 0 64 text
  ln victim.img hard.img
  echo "$work/victim.img" > list.txt
  local refused="Cannot write standard output - It is a device or a file that the run reads"
  # devices | redirection of the run's standard streams | what the console shows (file: stderr or out)
  local cases=(
    "-d victim.img|>> victim.img 2> err|err"
    "-d victim.img|1<> victim.img 2> err|err"
    "-d victim.img|>> hard.img 2> err|err"
    "--config list.txt|>> victim.img 2> err|err"
    "--config list.txt|>> list.txt 2> err|err"
    "-d victim.img|2>> victim.img > out|out"
  )
  local entry devices redirection shown before list_before
  for entry in "${cases[@]}"; do
    IFS='|' read -r devices redirection shown <<< "$entry"
    before=$(digest victim.img)
    list_before=$(digest list.txt)
    eval "\"\$VANTREL\" -s VRT $devices -p 1 -t 20 --logfile '' $redirection"
    status=$?
    expect_status 18 "$devices $redirection"
    [[ "$(digest victim.img)" == "$before" ]] || fail "$devices $redirection wrote into the image"
    [[ "$(digest list.txt)" == "$list_before" ]] || fail "$devices $redirection wrote into the batch file"
    if [[ $shown == err ]]; then
      expect_text err "$refused"$'\n'
    else
      expect_text out "${refused/output/error}"$'\n'
    fi
  done

  # Any other file still takes the report, appended or new.
  echo "an earlier line" > report.txt
  "$VANTREL" -s VRT -d victim.img -p 1 -t 20 --logfile '' >> report.txt 2> err
  status=$?
  expect_status 0 "report appended to another file"
  expect_match report.txt '^ Sample# ' 1
}

test_batch_file_read_once_from_a_pipe() {
  make_image dev.img 16
  put dev.img 0 64 text
  # A process substitution can be read only once: the guard and the device loop share that read.
  run -s VRT --config <(echo "$work/dev.img") -p 1 -t 20 -Q 7 -c out.csv
  expect_status 0 "batch file from a pipe"
  expect_match out.csv "^[0-9]+,$(re "$work/dev.img")," 1
  expect_match vantrel.log "^Summarize total 1 devices$" 1
}

run_named_test "$@"
