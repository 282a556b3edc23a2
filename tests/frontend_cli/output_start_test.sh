#!/usr/bin/env bash
# Black-box tests: the run's outputs are settled at start-up. The CSV file is created before any
# device is read, it is never the log file under another name, and a closed standard stream
# never lends its descriptor to the log or the CSV file.
#   usage: output_start_test.sh <test name>
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/cli_lib.sh"

SAME_FILE='CSV file (-c) and logfile (--logfile) must not be the same file'

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
      "hard link") : > first.out && ln first.out second.out ;;
      "symbolic link") ln -s first.out link.out ;;
    esac
    args=(-s VRT -d dev.img -p 1 -t 20 -Q 5 -c "$csv")
    [[ $log == none ]] && log=vantrel.log || args+=(--logfile "$log")
    run "${args[@]}"
    expect_status 4 "-c $csv --logfile $log"
    expect_text out "$SAME_FILE"$'\n'
    expect_match err 'Analysis started at' 0
    # The file holds the log alone: no CSV line ran into it.
    expect_lines "$log" "$(re "$(start_line "${args[@]}")")" "$(re "$SAME_FILE")" "Execution terminated"
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
      expect_lines run.log "$(re "$(start_line "${args[@]}")")" "Analysis started at: $TS" \
        "$TS Number of non-zeroblocks: 20 .*" "$TS Device size \\(bytes\\) 16777216" \
        "$TS End of run " "Finished vantrel"
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
    # The message on a line of its own, and nothing sampled or reported before it.
    expect_text err "$message"$'\n'
    expect_text out ""
    expect_lines vantrel.log "$(re "$(start_line "${args[@]}")")" "$(re "$message - $reason")" \
      "Execution terminated"
  done
}

run_named_test "$@"
