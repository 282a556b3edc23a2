#!/usr/bin/env bash
# Black-box tests of a batch's final report: the devices finished before an I/O-error abort are
# still reported, the totals' device count is that of the devices they cover, CSV names
# holding line breaks stay one field, and a batch line holding a NUL byte reports no device.
#   usage: batch_report_test.sh <test name>
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/cli_lib.sh"

# csv_rows file: the rows of a CSV file as parsed by Python's csv module, one per line, the
# fields joined by '|' and each line break in a field shown as \n or \r.
csv_rows() {
  python3 -c '
import csv, sys
with open(sys.argv[1], newline="") as f:
    for row in csv.reader(f):
        print("|".join(field.replace("\n", "\\n").replace("\r", "\\r") for field in row))
' "$1"
}

# ---- tests --------------------------------------------------------------------------------

test_io_abort_reports_finished_devices() {
  local a b c
  three_device_batch
  # Every read of the second device fails: 256 blocks allow 2 failed reads, several threads
  # exceed that at once.
  faulty VANTREL_FAULT_FILE="$b" VANTREL_FAULT_READS=all -- -s VRT --config devices.txt -p 4 -t 100 -c out.csv
  expect_status 17 "batch aborted on its second device"
  expect_occurrences err "$ABORT_1" 1
  expect_match err "^Error reading : [0-9]+ - Input/output error$"
  expect_match err "^(Analysis started at: $TS|$(re "$ABORT_1")|Error reading : [0-9]+ - Input/output error)$" \
    "$(wc -l < err)"

  # The first device is reported as at a normal end, and the totals hold it alone.
  local csv=()
  mapfile -t csv < out.csv
  [[ ${#csv[@]} == 6 && ${csv[0]} == "$CSV_HEADER" && -z ${csv[2]} && -z ${csv[3]} &&
     ${csv[4]} == "Summary:" && ${csv[1]} =~ ^[0-9]+,$(re "$a"),0\.016, &&
     ${csv[5]} =~ ^Total,1\ Device,.*,N/A$ ]] ||
    { fail "CSV of the aborted batch: $(cat out.csv)"; return; }
  local device total i
  IFS=, read -r -a device <<< "${csv[1]}"
  IFS=, read -r -a total <<< "${csv[5]}"
  for i in 2 3 4 5 6 7; do
    near "${total[i]}" "${device[i]}" 0.0011 || fail "total field $((i + 1)) ${total[i]}, the device's ${device[i]}"
  done
  local width=$((${#a} - 6)) lines=() header=()
  mapfile -t lines < out
  mapfile -t header < <(table_header "$width")
  [[ ${#lines[@]} == 7 && -z ${lines[0]} && ${lines[1]} == "${header[0]}" && ${lines[2]} == "${header[1]}" &&
     ${lines[3]} == "${header[2]}" && ${lines[5]} == "${header[2]}" &&
     ${lines[6]} == "Total        |1 $(printf '%-*s' $((width + 5)) Device)|"* ]] ||
    { fail "table of the aborted batch: $(cat out)"; return; }
  check_row "${lines[4]}" "${csv[1]}" "$width"
  check_row "${lines[6]}" "${csv[5]}" "$width"

  # Log: the abort and every failed read come first, then the summaries, then the failure's
  # end. The third device was never started (one seed per started device).
  local n=${csv[1]%%,*}
  expect_match vantrel.log "^$TS Random seed: [0-9]+$" 2
  expect_match vantrel.log "^$TS $(re "$ABORT_1")$" 1
  expect_one_device_summary vantrel.log "$a" "$n" 16777216
  ! grep -qF "$c" out out.csv err || fail "the device after the aborted one was reported"

  # Aborted on its first device, a batch has nothing finished to report.
  rm -f out.csv
  printf '%s\n' "$b" "$a" > devices.txt
  faulty VANTREL_FAULT_FILE="$b" VANTREL_FAULT_READS=all -- -s VRT --config devices.txt -p 4 -t 100 -c out.csv
  expect_status 17 "batch aborted on its first device"
  expect_text out ""
  [[ ! -s out.csv ]] || fail "CSV lines without a finished device: $(cat out.csv)"
  expect_match vantrel.log "^Summarize" 0
  expect_match vantrel.log "^$TS Random seed: [0-9]+$" 1
  [[ "$(tail -n 1 vantrel.log)" == "Execution terminated" ]] || fail "log end: $(tail -n 1 vantrel.log)"
}

test_csv_quotes_line_breaks() {
  # name | the name's CSV field
  local cases=(
    $'line\nbreak.img|"line\nbreak.img"'
    $'carriage\rreturn.img|"carriage\rreturn.img"'
    $'dos\r\nline, "end".img|"dos\r\nline, ""end"".img"'
  )
  local entry name field shown prefix rows fields
  for entry in "${cases[@]}"; do
    IFS='|' read -r -d '' name field <<< "$entry"
    field=${field%$'\n'}
    shown=${name//$'\n'/\\n}
    shown=${shown//$'\r'/\\r}
    make_image "$name" 4
    put "$name" 0 64 random
    run -s VRT -d "$name" -p 1 -t 20 -c out.csv --logfile ""
    expect_status 0 "$shown"
    prefix="$CSV_HEADER"$'\n'"20,$field,0.004,"
    [[ "$(head -c ${#prefix} out.csv)" == "$prefix" ]] || fail "$shown: CSV file $(cat -A out.csv)"
    # Read back by an independent CSV reader: one row of nine fields holding the name.
    mapfile -t rows < <(csv_rows out.csv)
    IFS='|' read -r -a fields <<< "${rows[1]:-}"
    [[ ${#rows[@]} == 2 && ${#fields[@]} == 9 && ${fields[1]} == "$shown" && ${fields[2]} == 0.004 ]] ||
      fail "$shown: CSV rows read back as $(printf '[%s] ' "${rows[@]}")"
    rm -f "$name" out.csv
  done
}

test_nul_line_is_a_syntax_error() {
  # The second line names b.img up to a NUL byte, as a list made with find -print0 does.
  local name
  for name in a b c; do
    make_image $name.img 4
    put $name.img 0 64 random
  done
  local a=$work/a.img b=$work/b.img c=$work/c.img
  { printf '%s\n' "$a"; printf '%s\0tail\n' "$b"; printf '%s\n' "$c"; } > devices.txt
  run -s VRT --config devices.txt -p 1 -t 20 -c out.csv
  expect_status 0 "batch with a NUL line"

  # The log quotes the line as read, its NUL included: the only NUL byte in the log.
  tr '\0' '@' < vantrel.log > log.txt
  expect_match log.txt "^$TS $(re "batch file syntax error: (line 2) \"$b@tail\"")$" 1
  [[ $(tr -cd '\0' < vantrel.log | wc -c) == 1 ]] || fail "NUL bytes in the log: $(tr -cd '\0' < vantrel.log | wc -c)"
  expect_line vantrel.log "Summarize total 2 devices"

  # The CSV file: a and c, each a row of nine fields, then the summary; nothing of b.
  local rows=() fields
  mapfile -t rows < <(csv_rows out.csv)
  [[ ${#rows[@]} == 7 && ${rows[0]} == "${CSV_HEADER//,/|}" && -z ${rows[3]} && -z ${rows[4]} &&
     ${rows[5]} == "Summary:" && ${rows[6]} == "Total|2 Devices|0.008|"* ]] ||
    { fail "CSV rows: $(printf '[%s] ' "${rows[@]}")"; return; }
  local i=1 device
  for device in "$a" "$c"; do
    IFS='|' read -r -a fields <<< "${rows[i]}"
    [[ ${#fields[@]} == 9 && ${fields[0]} == 20 && ${fields[1]} == "$device" && ${fields[2]} == 0.004 ]] ||
      fail "CSV row $i: ${rows[i]}"
    i=$((i + 1))
  done
  ! grep -aqF "$b" out.csv out || fail "b.img was reported"
}

test_total_count_is_devices_totalled() {
  # A sparse image that stays below the sample target (very empty) and a data image: only the
  # latter is in the totals, in every report form.
  make_image sparse.img 256
  put sparse.img 1000 16 text
  make_image full.img 64
  put full.img 0 512 numbers
  put full.img 512 512 random
  printf '%s\n' "$work/sparse.img" "$work/full.img" > devices.txt
  # options | a line the totals print with their device count
  local cases=(
    "-P|Number of devices analyzed:	1"
    "-P -v|Number of devices analyzed:	1"
    "-P -c out.csv|Number of devices analyzed:	1"
    "-c out.csv|Total        |1 Device"
  )
  local entry options line
  for entry in "${cases[@]}"; do
    IFS='|' read -r options line <<< "$entry"
    rm -f out.csv
    # shellcheck disable=SC2086
    run -s VRT --config devices.txt -p 2 -t 100 $options
    expect_status 0 "$options"
    expect_match out "^$(re "$line")" 1
    expect_line vantrel.log "Summarize total 1 devices"
    if [[ $options == -P* ]]; then
      expect_line out $'Total size(GB):\t\t\t0.1   '
    fi
    if [[ -e out.csv ]]; then
      expect_match out.csv '^Total,1 Device,0\.062,' 1
    fi
  done
}

run_named_test "$@"
