#!/usr/bin/env bash
# Black-box tests: a batch file saved with a UTF-8 byte-order mark (as Windows editors write
# it) reads like the same file without the mark; a mark anywhere else stays part of its line.
#   usage: batch_encoding_test.sh <test name>
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/cli_lib.sh"

BOM=$'\xef\xbb\xbf'

# The first device of a marked file is analysed like the others; the line numbers of the
# warnings count the lines as an editor shows them, and a warning quotes line 1 without the mark.
test_batch_file_with_byte_order_mark() {
  make_image a.img 16
  put a.img 0 64 text
  make_image b.img 16
  put b.img 0 32 numbers
  local a="$work/a.img" b="$work/b.img" ends
  for ends in $'\n' $'\r\n'; do
    printf '%s%s%s%s%s' "$BOM" "$a" "$ends" "$b" "$ends" > list.txt
    run -s VRT --config list.txt -p 1 -t 20 -Q 3 -c out.csv
    expect_status 0 "marked batch file"
    expect_match out.csv "^[0-9]+,$(re "$a")," 1
    expect_match out.csv "^[0-9]+,$(re "$b")," 1
    expect_match vantrel.log "^Summarize total 2 devices$" 1
    expect_occurrences vantrel.log "syntax error" 0
  done

  # line 1: a syntax error; line 2: a device; line 3: a mark inside the file; line 4: a duplicate.
  printf '%sdisk\n%s\n%s%s\n%s\n' "$BOM" "$a" "$BOM" "$b" "$a" > list.txt
  run -s VRT --config list.txt -p 1 -t 20 -Q 3
  expect_status 0 "marked file with faulty lines"
  expect_match vantrel.log "^$TS $(re 'batch file syntax error: (line 1) "disk"')$" 1
  expect_match vantrel.log "^$TS $(re "batch file syntax error: (line 3) \"$BOM$b\"")$" 1
  expect_match vantrel.log "^$TS $(re "batch file duplicate entry error: (line 4) \"$a\" is already listed")$" 1
  expect_match vantrel.log "^Summarize total 1 devices$" 1

  # The mark alone is one empty line, not an empty file: no device (25), not 24.
  printf '%s' "$BOM" > list.txt
  run -s VRT --config list.txt -p 1
  expect_status 25 "a file of the mark alone"
}

# The output guard knows the first device of a marked file: a log or CSV file named like it
# is refused and the image stays as it was.
test_byte_order_mark_first_device_guarded() {
  make_image first.img 16
  put first.img 0 64 text
  make_image second.img 16
  put second.img 0 64 random
  printf '%s%s\n%s\n' "$BOM" "$work/first.img" "$work/second.img" > list.txt
  run -s VRT --config list.txt -p 1 -t 20 --logfile first.img
  expect_status 12 "log over the first device"
  expect_line err "Cannot create logfile first.img - Operation not permitted"
  run -s VRT --config list.txt -p 1 -t 20 -c first.img --logfile run.log
  expect_status 10 "CSV over the first device"
  [[ "$(cat err)" == *"cannot create csv filefirst.img - Operation not permitted" ]] || fail "CSV over the first device: stderr $(cat err)"
}

run_named_test "$@"
