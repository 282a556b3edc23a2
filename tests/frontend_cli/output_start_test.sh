#!/usr/bin/env bash
# Black-box tests: the run's outputs are settled at start-up. The CSV file is created before any
# device is read, it is never the log file under another name, a closed standard stream never
# lends its descriptor to the log or the CSV file, a run holds its log and CSV file for itself,
# and an earlier run's CSV file stays as it was until the run writes its first line.
#   usage: output_start_test.sh <test name>
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/cli_lib.sh"

SAME_FILE='CSV file (-c) and logfile (--logfile) must not be the same file'
HELD='Another vantrel run or program is using this file'

# run_closing fds args...: run, with the standard descriptors `fds` (say "1" or "0 1 2") closed
# when vantrel starts.
run_closing() {
  local fds=$1 program=$VANTREL
  shift
  VANTREL=bash run -c 'for fd in $1; do eval "exec $fd>&-"; done; shift; exec "$@"' close "$fds" \
    "$program" "$@"
}

test_csv_and_log_on_one_file() {
  make_image dev.img 16
  put dev.img 0 64 text
  mkdir sub
  # -c name | --logfile name (none: the default vantrel.log) | how the names are made
  local cases=(
    "same.out|same.out|"
    "same.out|./same.out|"
    "sub/../same.out|same.out|"
    "$work/same.out|same.out|"
    "vantrel.log|none|"
    "second.out|first.out|hard link"
    "link.out|first.out|symbolic link"
    "first.out|link.out|symbolic link"
  )
  local entry csv log links args
  for entry in "${cases[@]}"; do
    IFS='|' read -r csv log links <<< "$entry"
    rm -f ./*.out vantrel.log
    case "$links" in
      "hard link") echo "earlier report" > first.out && ln first.out second.out ;;
      "symbolic link") echo "earlier report" > first.out && ln -s first.out link.out ;;
    esac
    args=(-s VRT -d dev.img -p 1 -t 20 -Q 5 -c "$csv")
    [[ $log == none ]] && log=vantrel.log || args+=(--logfile "$log")
    run "${args[@]}"
    expect_status 4 "-c $csv --logfile $log"
    expect_text out "$SAME_FILE"$'\n'
    expect_match err 'Analysis started at' 0
    if [[ -n $links ]]; then
      # An earlier report is refused before the log is opened: it stays whole.
      expect_text first.out "earlier report"$'\n'
    else
      # A name that did not exist is refused once the log has made it: it holds the log alone.
      expect_lines "$log" "$(re "$(start_line "${args[@]}")")" "$(re "$SAME_FILE")" "Execution terminated"
    fi
  done

  # Outputs on a file that is no regular file only share it: the null device takes both.
  run -s VRT -d dev.img -p 1 -t 20 -Q 5 -c /dev/null --logfile /dev/null
  expect_status 0 "CSV and log on the null device"
}

test_closed_standard_streams() {
  make_image dev.img 16
  put dev.img 0 64 text
  # closed descriptors | log file (off: --logfile "") | exit status
  local cases=(
    "1|run.log|18"
    "1|off|18"
    "2|run.log|0"
    "0 1 2|run.log|18"
  )
  local entry fds log code args
  local row='^[0-9]+ +\|dev\.img +\|'
  for entry in "${cases[@]}"; do
    IFS='|' read -r fds log code <<< "$entry"
    rm -f out.csv run.log
    args=(-s VRT -d dev.img -p 1 -t 20 -Q 5 -c out.csv --logfile "${log/#off/}")
    run_closing "$fds" "${args[@]}"
    expect_status "$code" "descriptors $fds closed, log $log"
    # Neither the report table nor a console line lands in the CSV file or the log.
    expect_lines out.csv "$(re "$CSV_HEADER")" '[0-9]+,dev\.img,[-0-9.,]+'
    if [[ $log != off ]]; then
      # A run that failed on its standard output ends its log as a failed run.
      local failed=()
      [[ " $fds " == *" 1 "* ]] && failed=("Cannot write standard output - Bad file descriptor")
      expect_lines run.log "$(re "$(start_line "${args[@]}")")" "Analysis started at: $TS" \
        "${failed[@]}" "$TS Number of non-zeroblocks: 20 .*" "$TS Device size \\(bytes\\) 16777216" \
        "$TS End of run " "Finished vantrel" ${failed:+"Execution terminated"}
    fi
    if [[ " $fds " == *" 1 "* && " $fds " != *" 2 "* ]]; then
      expect_lines err "Analysis started at: $TS" "Cannot write standard output - Bad file descriptor"
    fi
    [[ " $fds " == *" 1 "* ]] || expect_match out "$row" 1
  done
}

test_csv_not_creatable_at_start() {
  make_image dev.img 16
  put dev.img 0 64 text
  make_image second.img 16
  put second.img 0 64 random
  printf '%s\n' "$work/dev.img" "$work/second.img" > devices.txt
  mkdir folder
  echo text > plain.txt
  # -c name | device options | the system's reason
  local cases=(
    "nodir/out.csv|-d dev.img|No such file or directory"
    "folder|-d dev.img|Is a directory"
    "plain.txt/out.csv|-d dev.img|Not a directory"
    "dev.img|-d dev.img|Operation not permitted"
    "nodir/out.csv|--config devices.txt|No such file or directory"
  )
  local entry csv devices reason args message
  for entry in "${cases[@]}"; do
    IFS='|' read -r csv devices reason <<< "$entry"
    # shellcheck disable=SC2206
    args=(-s VRT $devices -p 1 -t 20 -Q 5 -c "$csv")
    run "${args[@]}"
    expect_status 10 "-c $csv"
    message="cannot create csv file$csv"
    # The message on a line of its own, then the reason, and nothing sampled or reported before.
    expect_text err "$message"$'\n'"$message - $reason"$'\n'
    expect_text out ""
    expect_lines vantrel.log "$(re "$(start_line "${args[@]}")")" "$(re "$message - $reason")" \
      "Execution terminated"
  done
}

# A log or CSV file that another holds (here the test, with a lock of its own) refuses the run
# before anything is emptied or read: the held file and the other output stay as they were.
# The null device and a pipe are shared, whoever locks them.
test_outputs_held_elsewhere() {
  make_image dev.img 16
  put dev.img 0 64 text
  # held file | options | status | console message
  local cases=(
    "vantrel.log|-c out.csv|12|Cannot create logfile vantrel.log - $HELD"
    "run.log|--logfile run.log -c out.csv|12|Cannot create logfile run.log - $HELD"
    "out.csv|--logfile run.log -c out.csv|10|cannot create csv fileout.csv"
  )
  local entry held options code message args file
  for entry in "${cases[@]}"; do
    IFS='|' read -r held options code message <<< "$entry"
    for file in vantrel.log run.log out.csv; do printf 'earlier %s\n' "$file" > "$file"; done
    # shellcheck disable=SC2206
    args=(-s VRT -d dev.img -p 1 -t 20 -Q 5 $options)
    exec 9>> "$held"
    flock -n 9 || fail "the test cannot lock $held"
    run "${args[@]}"
    exec 9>&-
    expect_status "$code" "$held held"
    # A CSV file's refusal is followed by its reason.
    [[ $code == 10 ]] && message+=$'\n'"$message - $HELD"
    expect_text err "$message"$'\n'
    expect_text out ""
    expect_text "$held" "earlier $held"$'\n'
    expect_text out.csv "earlier out.csv"$'\n'
    if [[ $held == out.csv ]]; then
      expect_lines run.log "$(re "$(start_line "${args[@]}")")" "$(re "cannot create csv fileout.csv - $HELD")" \
        "Execution terminated"
    else
      expect_text vantrel.log "earlier vantrel.log"$'\n'
    fi
  done

  mkfifo pipe
  exec 8<> pipe 9>> /dev/null
  flock -n 8 && flock -n 9 || fail "the test cannot lock the pipe and the null device"
  run -s VRT -d dev.img -p 1 -t 20 -Q 5 -c pipe --logfile /dev/null
  expect_status 0 "CSV on a locked pipe, log on the locked null device"
  local line=
  read -r -t 1200 -u 8 line
  [[ $line == "$CSV_HEADER" ]] || fail "the pipe got '$line', not the CSV header"
  exec 8<&- 9>&-
}

# A log or CSV file written through standard output is held like any other output file: while
# a first run writes through its standard output into a file, a second run given that file is
# refused, and so is a second run whose standard output leads into a file the first one holds.
test_outputs_through_standard_output_are_held() {
  make_image dev.img 16
  put dev.img 0 64 text
  local args=(-s VRT -d dev.img -p 1 -t 20 -Q 5)
  # first run's outputs (standard output into res.txt) | second run's options | status | message
  local cases=(
    "-c /dev/stdout --logfile ''|--logfile res.txt|12|Cannot create logfile res.txt - $HELD"
    "--logfile /dev/stdout|-c res.txt --logfile ''|10|cannot create csv fileres.txt - $HELD"
  )
  local entry first second code message
  for entry in "${cases[@]}"; do
    IFS='|' read -r first second code message <<< "$entry"
    eval "first=($first)"
    eval "second=($second)"
    start_stalled dev.img res.txt "${args[@]}" "${first[@]}"
    wait_for_line stalled.err '^Analysis started at: ' || return
    run "${args[@]}" "${second[@]}"
    expect_status "$code" "${second[*]} while res.txt is the first run's standard output"
    expect_line err "$message"
    finish_stalled
    expect_status 0 "first run, ${first[*]}"
    expect_match res.txt '^ Sample# ' 1
  done

  # The other way round: the first run holds run.log, the second would write its log there
  # through its standard output.
  start_stalled dev.img first.out "${args[@]}" --logfile run.log
  wait_for_line run.log '^Analysis started at: ' || return
  "$VANTREL" "${args[@]}" --logfile /dev/stdout >> run.log 2> err
  status=$?
  expect_status 12 "--logfile /dev/stdout >> run.log while another run holds run.log"
  expect_line err "Cannot create logfile /dev/stdout - $HELD"
  finish_stalled
  expect_status 0 "the run that holds run.log"
  expect_lines run.log "$(re "$(start_line "${args[@]}" --logfile run.log)")" "Analysis started at: $TS" \
    "$TS Number of non-zeroblocks: 20 .*" "$TS Device size \\(bytes\\) 16777216" \
    "$TS End of run " "Finished vantrel"
}

# Two runs at once in one folder: while the first is held on its device, a second run is
# refused on the log they share (the default vantrel.log) and a third on the CSV file; the
# first run's log and CSV file come out whole.
test_second_run_on_the_same_outputs() {
  make_image dev.img 16
  put dev.img 0 64 text
  local first=(-s VRT -d dev.img -p 1 -t 20 -Q 5 -c out.csv)
  start_stalled dev.img first.out "${first[@]}"
  wait_for_line vantrel.log '^Analysis started at: ' || return

  run -s VRT -d dev.img -p 1 -t 20 -Q 5 -c other.csv
  expect_status 12 "second run on the log"
  expect_text err "Cannot create logfile vantrel.log - $HELD"$'\n'
  [[ ! -e other.csv ]] || fail "the refused run created its CSV file"
  local third=(-s VRT -d dev.img -p 1 -t 20 -Q 5 -c out.csv --logfile third.log)
  run "${third[@]}"
  expect_status 10 "third run on the CSV file"
  expect_text err "cannot create csv fileout.csv"$'\n'"cannot create csv fileout.csv - $HELD"$'\n'
  expect_lines third.log "$(re "$(start_line "${third[@]}")")" \
    "$(re "cannot create csv fileout.csv - $HELD")" "Execution terminated"

  finish_stalled
  expect_status 0 "first run"
  expect_lines vantrel.log "$(re "$(start_line "${first[@]}")")" "Analysis started at: $TS" \
    "$TS Number of non-zeroblocks: 20 .*" "$TS Device size \\(bytes\\) 16777216" \
    "$TS End of run " "Finished vantrel"
  expect_lines out.csv "$(re "$CSV_HEADER")" '20,dev\.img,[-0-9.,]+'
}

# The CSV file is emptied by the run's first line, not at start-up: a run that writes none
# leaves an earlier run's results as they were, and a run that writes one leaves nothing of
# them. A missing CSV file is still created at start-up.
test_csv_kept_without_a_line() {
  make_image dev.img 16
  put dev.img 0 64 text
  make_image zero.img 16
  local earlier=$'Sample#,Device Name\n3400,/dev/sdb,earlier,run,with,a,long,line\n'
  # device options | status
  local cases=(
    "-d missing.img|15"
    "-d zero.img|0"
    "-d dev.img -u 0.1|4"
  )
  local entry devices code
  for entry in "${cases[@]}"; do
    IFS='|' read -r devices code <<< "$entry"
    printf '%s' "$earlier" > out.csv
    # shellcheck disable=SC2086
    run -s VRT $devices -p 1 -t 20 -Q 5 -c out.csv
    expect_status "$code" "$devices"
    expect_text out.csv "$earlier"
  done

  # Ended by a signal while it samples.
  printf '%s' "$earlier" > out.csv
  start_stalled dev.img first.out -s VRT -d dev.img -p 1 -t 20 -Q 5 -c out.csv
  if wait_for_line vantrel.log '^Analysis started at: '; then
    kill -TERM "$stalled_pid"
    finish_stalled
    expect_status 143 "a run ended by SIGTERM"
    expect_text out.csv "$earlier"
  fi

  printf '%s' "$earlier" > out.csv
  run -s VRT -d dev.img -p 1 -t 20 -Q 5 -c out.csv
  expect_status 0 "a run with a line"
  expect_lines out.csv "$(re "$CSV_HEADER")" '20,dev\.img,[-0-9.,]+'

  run -s VRT -d missing.img -c new.csv
  expect_status 15 "a missing device, a new CSV file"
  expect_text new.csv ""
}

run_named_test "$@"
