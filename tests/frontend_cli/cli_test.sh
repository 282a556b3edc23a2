#!/usr/bin/env bash
# Black-box tests of the vantrel program: each test runs the built program on image files that it
# generates in a temporary folder, and checks the exit status, the console, the CSV file and the
# log, and that no image changed (content and modification time).
#   usage: cli_test.sh <test name>
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/cli_lib.sh"

# ---- tests --------------------------------------------------------------------------------

test_usage() {
  local usage
  usage=$(
    echo "Orvane Tessaline 6170 Vantrel version : 1.0.1 (Build w014)"
    echo "Usage :"
    echo "vantrel <-s storage_type> [ -h | -d device] [-c filename] [-v] [-p number_of_threads] [-P] [-I] [--config=task_file]"
    printf '%-21s%s\n' "-d device name" "Path of device to analyze (e.g.: /dev/sdb)" \
      "-p number" "Number of threads (default 10)" \
      "-c" "Export the results to a CSV file" \
      "-v" "Verbose output" \
      "-h" "Print this help message" \
      "-P" "Display results using a paragraph format" \
      "-s,--storageSys" "Storage system type. Supported values are: VRT or KSM" \
      "--stripewidth" "Storage stripe width (5 - 16 )" \
      "-I" "Allow larger scale of storage io-error threshold rate (up to 5%)" \
      "--config=file" "Configuration file that contains list of devices to analyze"
  )
  if [[ -e /etc/vmware/esx.conf ]]; then echo "skipped on a VMware host"; return; fi
  run
  expect_status 1 "no arguments"
  expect_text out "$usage"$'\n\n'
  run -h -s VRT -d nothing.img -p 3
  expect_status 1 "-h with parsable options"
  expect_text out "$usage"$'\n\n'
  run -h
  expect_status 1 "-h alone"
  [[ -z "$(ls ./*.log 2>/dev/null)" ]] || fail "the usage text wrote a log: $(ls ./*.log)"

  # A parse error wins over -h.
  run -h --bogus
  expect_status 4 "-h --bogus"
  run -h -s vrt
  expect_status 4 "-h -s vrt"
}

test_parse_errors() {
  local prefix='Unable to parse command line: '
  # An undeclared option: the settings keep their initial values, so the log is the initial
  # file name at level 6, whatever --logfile says.
  run -s VRT --logfile mine.log --bogus
  expect_status 4 "--bogus"
  expect_text err "${prefix}unrecognised option  --bogus "$'\n'
  [[ ! -e mine.log ]] || fail "--logfile was applied although the command line did not parse"
  expect_lines Orvane_Tessaline_6170_Vantrel.log \
    "$(re "$(start_line -s VRT --logfile mine.log --bogus)")" "$(re "$(cat err)")" "Execution terminated"
  rm -f Orvane_Tessaline_6170_Vantrel.log

  # -s missing: the parsed settings apply, so the named log receives the error.
  run -d dev.img --logfile named.log
  expect_status 4 "-s missing"
  expect_text err "${prefix}option  storageSys  requires at least one argument"$'\n'
  expect_lines named.log "$(re "$(start_line -d dev.img --logfile named.log)")" "$(re "$(cat err)")" "Execution terminated"

  # The option library's own texts (Boost 1.74), single quotes replaced by blanks.
  local cases=(
    "-s|vrt|the argument ( vrt ) for option  --storageSys  is invalid"
    "-s| VRT|the argument for option  --storageSys  is invalid"
    "-s|VRT |the argument ( VRT  ) for option  --storageSys  is invalid"
    "-s|XYZ|the argument ( XYZ ) for option  --storageSys  is invalid"
    "-p||the required argument for option  --p  is missing"
    "-p|abc|the argument ( abc ) for option  --p  is invalid"
    "-t|-5x|the argument ( -5x ) for option  --maxNumSamples  is invalid"
  )
  local entry option value message
  for entry in "${cases[@]}"; do
    IFS='|' read -r option value message <<< "$entry"
    if [[ $option == -s ]]; then
      run -d dev.img -s "$value"
    elif [[ -z $value ]]; then
      run -s VRT -d dev.img "$option"
    else
      run -s VRT -d dev.img "$option" "$value"
    fi
    expect_status 4 "$option '$value'"
    expect_text err "$prefix$message"$'\n'
  done
}

test_option_checks() {
  # args | status | stream | message | message in the log
  local cases=(
    "-s VRT --adjustCR 1;2|4|err|Cannot convert to number : 1;2|Cannot convert to number :1;2"
    "-s VRT --loglevel 7|4|out|Loglevel may be only from 0 to 6 |Loglevel may be only from 0 to 6 "
    "-s VRT --loglevel -1|4|out|Loglevel may be only from 0 to 6 |-"
    "-s VRT --stripewidth 12|4|out|stripewidth switch compatible with KSM storage system only|stripewidth switch compatible with KSM storage system only"
    "-s VRT --storageVer 8.0|4|out|Allowed version values for Corvale/VRT/Pellam: { 6.4 \| 7.1 \| 7.2 \| 7.3 }|Allowed version values for Corvale/VRT/Pellam: { 6.4 \| 7.1 \| 7.2 \| 7.3 }"
    "-s VRT --storageVer 6|4|out|Allowed version values for Corvale/VRT/Pellam: { 6.4 \| 7.1 \| 7.2 \| 7.3 }|Allowed version values for Corvale/VRT/Pellam: { 6.4 \| 7.1 \| 7.2 \| 7.3 }"
    "-s KSM --stripewidth 4|4|out|Allowed version values for stripwidth: 5 to 16 |Allowed version values for stripwidth: 5 to 16 "
    "-s KSM --stripewidth 17|4|out|Allowed version values for stripwidth: 5 to 16 |Allowed version values for stripwidth: 5 to 16 "
    "-s VRT -g 0|4|out|Block size must be a positive multiple of 512 bytes|Block size must be a positive multiple of 512 bytes"
    "-s VRT -g 1000|4|out|Block size must be a positive multiple of 512 bytes|Block size must be a positive multiple of 512 bytes"
    "-s VRT -g 33554944|4|out|Block size must be at most 33554432 bytes, so that a sample can span two blocks|Block size must be at most 33554432 bytes, so that a sample can span two blocks"
    "-s VRT --storageVer 6.4 -g 67108864 -k 1073741824|4|out|Block size must be at most 33554432 bytes, so that a sample can span two blocks|Block size must be at most 33554432 bytes, so that a sample can span two blocks"
    "-s VRT -p 0|11|err|Number of threads must be in the range of 1..50|Number of threads must be in the range of 1..50"
    "-s VRT -p 51|11|err|Number of threads must be in the range of 1..50|Number of threads must be in the range of 1..50"
    "-s VRT --stripewidth 12 -p 0|4|out|stripewidth switch compatible with KSM storage system only|stripewidth switch compatible with KSM storage system only"
  )
  local entry args want stream message logged
  for entry in "${cases[@]}"; do
    entry=${entry//\\|/$'\x01'}
    IFS='|' read -r args want stream message logged <<< "$entry"
    message=${message//$'\x01'/|}
    logged=${logged//$'\x01'/|}
    rm -f vantrel.log
    # shellcheck disable=SC2086
    run $args
    expect_status "$want" "$args"
    expect_line "$stream" "$message"
    [[ -f vantrel.log ]] || { fail "$args: no log file"; continue; }
    if [[ $logged == - ]]; then
      # A negative level refuses every queued line, the start line included.
      expect_lines vantrel.log "Execution terminated"
    else
      # shellcheck disable=SC2086
      expect_lines vantrel.log "$(re "$(start_line $args)")" "$(re "$logged")" "Execution terminated"
    fi
  done
  # The faulty log level is reported on the console even when a missing -s is acted on first.
  run --loglevel 9 -d dev.img
  expect_status 4 "--loglevel 9 without -s"
  expect_line out "Loglevel may be only from 0 to 6 "
  expect_match err "^Unable to parse command line: " 1
}

test_log_file_errors() {
  run -s VRT -d dev.img --logfile nodir/x.log
  expect_status 12 "log file in a missing folder"
  expect_text err $'Cannot create logfile nodir/x.log - No such file or directory\n'

  # A log named like the device (here by another spelling of its path) would empty it.
  make_image dev.img 1
  put dev.img 0 1 text
  run -s VRT -d dev.img --logfile ./dev.img
  expect_status 12 "log file on the device"
  expect_text err $'Cannot create logfile ./dev.img - Operation not permitted\n'

  # The log file opens but cannot be emptied.
  faulty VANTREL_FAULT_FILE=x.log VANTREL_FAULT_TRUNCATE=1 -- -s VRT -d dev.img --logfile x.log
  expect_status 13 "log file not emptied"
  expect_text err $'Error opening logfile: x.log\n'
}

test_device_size() {
  : > empty.img
  run -s VRT -d missing.img -p 2
  expect_status 15 "missing device"
  local message='Cannot read (missing.img) device size Errno : 2 Error Message: No such file or directory'
  expect_text err "$message"$'\n'
  # Logged twice: through the timestamped log operation and as it stands.
  expect_lines vantrel.log "$(re "$(start_line -s VRT -d missing.img -p 2)")" \
    "$TS $(re "$message")" "$(re "$message")" "Execution terminated"

  run -s VRT
  expect_status 15 "no device"
  expect_text err $'Cannot read () device size Errno : 2 Error Message: No such file or directory\n'

  run -s VRT -d empty.img
  expect_status 15 "zero-length image"
  expect_lines err "lseek: .*" "$(re "Cannot read (empty.img) device size Errno : ")[0-9]+ Error Message: .*"
}

# A batch file is text a user wrote: a device is refused by its type, unread (a character
# device, and a block device where a loop device can be attached), and a file or pipe beyond
# 16 MiB once its 16 MiB and one byte are read, each as a file that cannot be opened. A file of
# 16 MiB is read.
test_batch_file_devices_and_huge_files_refused() {
  truncate -s 16M limit.txt
  truncate -s $(((16 << 20) + 1)) huge.txt
  local cases=("/dev/null|Operation not permitted" "huge.txt|File too large")
  # Global: the trap that detaches it runs when the script ends.
  if batch_loop=$(losetup -r -f --show limit.txt 2> /dev/null); then
    trap 'losetup -d "$batch_loop"; rm -rf "$work"' EXIT
    cases+=("$batch_loop|Operation not permitted")
  else
    echo "note: no loop device can be attached here (losetup -r -f --show failed); the block device is not tried" >&2
  fi
  local entry name reason
  for entry in "${cases[@]}"; do
    IFS='|' read -r name reason <<< "$entry"
    run -s VRT --config "$name"
    expect_status 23 "batch file $name"
    expect_text err "Cannot open configuration file $name - $reason"$'\n'
  done
  # A pipe that would go on far beyond the limit (64 MiB of lines naming one missing image).
  run -s VRT --config <(yes "$work/missing.img" | head -c 64M)
  expect_status 23 "a batch file from a pipe of 64 MiB"
  expect_match err "^Cannot open configuration file /.* - File too large$" 1
  run -s VRT --config limit.txt
  expect_status 25 "a batch file of 16 MiB"
}

test_batch_file_errors() {
  mkdir folder
  : > empty.txt
  printf '# nothing here\n\n   \nbogus\n[ 2]\n' > nodevice.txt
  printf '\n' > oneline.txt
  printf '%s\n' "$work/missing1.img" "$work/missing2.img" > unsized.txt

  run -s VRT --config nofile.txt
  expect_status 23 "batch file missing"
  local message='Cannot open configuration file nofile.txt - No such file or directory'
  expect_text err "$message"$'\n'
  expect_lines vantrel.log "$(re "$(start_line -s VRT --config nofile.txt)")" "$(re "$message")" "Execution terminated"

  run -s VRT --config folder
  expect_status 23 "batch file is a folder"
  expect_text err $'Cannot open configuration file folder - Is a directory\n'

  run -s VRT --config empty.txt
  expect_status 24 "batch file empty"
  message='The configuration file (empty.txt) is empty'
  expect_text err "$message"$'\n'
  expect_lines vantrel.log "$(re "$(start_line -s VRT --config empty.txt)")" "$(re "$message")" "Execution terminated"

  run -s VRT --config nodevice.txt
  expect_status 25 "batch file without devices"
  expect_text err ""
  expect_lines vantrel.log "$(re "$(start_line -s VRT --config nodevice.txt)")" \
    "$TS $(re 'batch file syntax error: (line 4) "bogus"')" \
    "$TS $(re 'batch file syntax error: (line 5) "[ 2]"')" "Execution terminated"

  run -s VRT --config oneline.txt --loglevel 1
  expect_status 25 "batch file of one empty line"

  # No device can be sized: both are skipped, the run reports empty totals and then fails as a
  # single device that cannot be sized does.
  run -s VRT --config unsized.txt
  expect_status 15 "batch without sizable devices"
  expect_text out ""
  expect_lines err "$(re "Can't evaluate $work/missing1.img size, skipping")" \
    "$(re "Can't evaluate $work/missing2.img size, skipping")"
  expect_lines vantrel.log "$(re "$(start_line -s VRT --config unsized.txt)")" \
    "$TS $(re "Can't evaluate \"$work/missing1.img\" size, skipping")" \
    "$TS $(re "Can't evaluate \"$work/missing2.img\" size, skipping")" \
    "Summarize total 0 devices" \
    "$TS Number of non-zeroblocks: 0 Number of zeroblocks: 0 Total blocks: 0" \
    "$TS Device size \\(bytes\\) 0" "$TS End of run " "Finished vantrel" "Execution terminated"
}

test_single_device() {
  make_image dev.img 128
  put dev.img 0 2048 random
  run -s VRT -d dev.img -p 1 -t 100 -c out.csv
  expect_status 0 "single device"
  expect_lines err "Analysis started at: $TS"
  # One context reaches the target exactly; random data does not compress, so the mean ratio
  # above 1 is capped: 0.001 percent compression savings.
  local acc
  acc=$(accuracy 100)
  expect_text out "$(echo; table_header 1;
    printf '%-10s   |dev.img |%9.1f |%11.1f |%11.1f |%10.1f%% |%17.1f%% |%11.1f%% |%16.1f%%\n' \
      100 0.125 0.125 0 0 0 0 "$acc")"$'\n'
  expect_text out.csv "$CSV_HEADER"$'\n'"100,dev.img,0.125,0.125,0.000,0.001,0.000,0.001,$acc"$'\n'
  expect_lines vantrel.log "$(re "$(start_line -s VRT -d dev.img -p 1 -t 100 -c out.csv)")" \
    "$TS Random seed: [0-9]+" "Analysis started at: $TS" \
    "$TS Number of non-zeroblocks: 100 Number of zeroblocks: 0 Total blocks: 100" \
    "$TS Device size \\(bytes\\) 134217728" "$TS End of run " "Finished vantrel"
}

test_verbose_run() {
  make_image dev.img 128
  put dev.img 0 1024 numbers
  put dev.img 1024 1024 random
  run -s VRT -d dev.img -p 2 -t 100 -c out.csv -v --loglevel 0
  expect_status 0 "verbose run"
  expect_text err ""
  local lines=() csv=()
  mapfile -t lines < out
  mapfile -t csv < out.csv
  local rows=$((${#lines[@]} - 11))
  [[ $rows -ge 1 ]] || { fail "verbose run printed no progress row: $(cat out)"; return; }
  local header=()
  mapfile -t header < <(table_header 1)
  [[ ${lines[0]} == "Version: 1.0.1 (Build w014)" ]] || fail "version line: ${lines[0]}"
  [[ ${lines[1]} =~ ^Start\ time:\ $TS$ ]] || fail "start line: ${lines[1]}"
  [[ ${lines[2]} == "Device name: dev.img" ]] || fail "name line: ${lines[2]}"
  [[ ${lines[3]} == "Device size: 0.1 GB" ]] || fail "size line: ${lines[3]}"
  [[ ${lines[4]} == "Number of processes: 2" ]] || fail "threads line: ${lines[4]}"
  [[ -z ${lines[5]} && ${lines[6]} == "${header[0]}" && ${lines[7]} == "${header[1]}" &&
     ${lines[8]} == "${header[2]}" ]] || fail "table header: ${lines[*]:5:4}"
  [[ -z ${lines[-2]} && ${lines[-1]} =~ ^Finish\ time:\ $TS$ ]] || fail "finish lines: ${lines[*]: -2}"
  # Every progress row is also a CSV line; no extra result row follows.
  [[ ${#csv[@]} == $((rows + 1)) && ${csv[0]} == "$CSV_HEADER" ]] || fail "CSV has ${#csv[@]} lines for $rows rows"
  local i
  for ((i = 0; i < rows; i++)); do
    check_row "${lines[9 + i]}" "${csv[i + 1]}" 1
  done
  # At log level 0 the file holds only the end-of-run lines, for the last figures shown.
  local count=${csv[-1]%%,*}
  expect_lines vantrel.log "$TS Number of non-zeroblocks: $count Number of zeroblocks: 0 Total blocks: $count" \
    "$TS Device size \\(bytes\\) 134217728" "$TS End of run "
}

test_paragraph_run() {
  make_image dev.img 128
  put dev.img 0 2048 random
  run -s VRT -d dev.img -p 1 -t 100 -P --logfile ""
  expect_status 0 "paragraph run"
  expect_text out "$(printf '\nDevice Name:\t\t\tdev.img\nSample #:\t\t\t100\nSize(GB):\t\t\t0.1   \nCompressed Size(GB):\t\t0.1   \nTotal Savings(GB):\t\t0.0   \nTotal Savings:\t\t\t0.0%%\nCompression Savings:\t\t0.0%%\nCompression Accuracy Range:\t29.0%%\nThin Provisioning Savings:\t0.0%%\n'; printf '%.0s=' {1..70})"$'\n'
  [[ -z "$(ls ./*.log 2>/dev/null)" ]] || fail "an empty --logfile still wrote a log: $(ls ./*.log)"

  # Without the cap the growth of random data shows as negative compression savings.
  run -s VRT -d dev.img -p 1 -t 100 -c out.csv --allowNegativeComp --logfile ""
  expect_status 0 "--allowNegativeComp"
  local fields
  IFS=, read -r -a fields < <(sed -n 2p out.csv)
  awk -v c="${fields[3]}" -v p="${fields[7]}" 'BEGIN { exit !(c >= 0.125 && p <= 0 && p > -5) }' ||
    fail "--allowNegativeComp: compressed ${fields[3]} GiB, savings ${fields[7]}%"
}

test_batch_run() {
  make_image full.img 64
  put full.img 0 512 numbers
  put full.img 512 512 random
  make_image sparse.img 256
  put sparse.img 1000 16 text
  cat > devices.txt <<EOF
# devices to estimate
$work/full.img   # all data
$work/missing.img
bogus line
$work/sparse.img extra words
$work/full.img
EOF
  local full=$work/full.img sparse=$work/sparse.img width
  width=$((${#sparse} - 6))
  run -s VRT --config devices.txt -d other.img -p 2 -t 100 -c out.csv
  expect_status 0 "batch run"
  expect_lines err "Analysis started at: $TS" "$(re "Can't evaluate $work/missing.img size, skipping")" \
    "$(re "Over 95% of the samples read from the device ($sparse$VERY_EMPTY_TAIL")"

  # CSV: one line per kept device, the one below the target marked, then the totals, which
  # hold the full device only.
  local csv=()
  mapfile -t csv < out.csv
  [[ ${#csv[@]} == 7 ]] || { fail "batch CSV has ${#csv[@]} lines: $(cat out.csv)"; return; }
  [[ ${csv[0]} == "$CSV_HEADER" && -z ${csv[3]} && -z ${csv[4]} && ${csv[5]} == "Summary:" ]] ||
    fail "batch CSV layout: $(cat out.csv)"
  local f s t
  IFS=, read -r -a f <<< "${csv[1]}"
  IFS=, read -r -a s <<< "${csv[2]}"
  IFS=, read -r -a t <<< "${csv[6]}"
  [[ ${f[1]} == "$full" && ${f[0]} =~ ^[0-9]+$ && ${f[0]} -ge 100 && ${f[2]} == 0.062 && ${f[6]} == 0.000 ]] ||
    fail "full device line: ${csv[1]}"
  [[ ${f[8]} == "$(accuracy "${f[0]}")" ]] || fail "full device accuracy ${f[8]} for ${f[0]} samples"
  [[ ${s[1]} == "$sparse" && ${s[0]} =~ ^[0-9]+\*\*$ && ${s[2]} == 0.250 ]] || fail "sparse device line: ${csv[2]}"
  awk -v t="${s[6]}" 'BEGIN { exit !(t > 95) }' || fail "sparse device thin-provisioning savings ${s[6]}"
  [[ ${t[0]} == Total && ${t[1]} == "1 Device" && ${t[8]} == N/A ]] || fail "total line: ${csv[6]}"
  local i
  for i in 2 3 4 5 6 7; do
    near "${t[i]}" "${f[i]}" 0.0011 || fail "total field $((i + 1)) ${t[i]} differs from the full device's ${f[i]}"
  done

  # Console: the table header, both devices, the separator and the total row.
  local lines=()
  mapfile -t lines < out
  [[ ${#lines[@]} == 8 ]] || { fail "batch table has ${#lines[@]} lines: $(cat out)"; return; }
  local header=()
  mapfile -t header < <(table_header "$width")
  [[ -z ${lines[0]} && ${lines[1]} == "${header[0]}" && ${lines[2]} == "${header[1]}" &&
     ${lines[3]} == "${header[2]}" && ${lines[6]} == "${header[2]}" ]] || fail "batch table frame: $(cat out)"
  check_row "${lines[4]}" "${csv[1]}" "$width"
  [[ ${lines[5]} =~ ^${s[0]%\*\*}\*\*\ +\ \| ]] || fail "sparse row not marked: ${lines[5]}"
  check_row "${lines[5]}" "${csv[2]}" "$width"
  [[ ${lines[7]} == "Total        |1 $(printf '%-*s' $((width + 5)) Device)|"* ]] || fail "total row: ${lines[7]}"
  check_row "${lines[7]}" "${csv[6]}" "$width"

  # Log: the warnings with their line numbers, then per device its summary, then the totals.
  local n_full=${f[0]} n_sparse=${s[0]%\*\*}
  expect_line vantrel.log "batch file syntax error (assuming inline comment): (line 5) \"$sparse extra words\""
  expect_match vantrel.log "^$TS $(re "batch file syntax error: (line 4) \"bogus line\"")$" 1
  expect_match vantrel.log "^$TS $(re "batch file duplicate entry error: (line 6) \"$full\" is already listed")$" 1
  expect_match vantrel.log "^$TS $(re "Can't evaluate \"$work/missing.img\" size, skipping")$" 1
  expect_match vantrel.log "^$TS $(re "Over 95% of the samples read from the device ($sparse$VERY_EMPTY_TAIL")$" 1
  expect_match vantrel.log "^$TS Random seed: [0-9]+$" 2
  grep -vE "^($TS )?(batch file|Can't evaluate|Over 95%|Random seed|Analysis started|starting Orvane)" vantrel.log > tail.log
  expect_lines tail.log "$(re "Summarize device $full:")" \
    "$TS Number of non-zeroblocks: $n_full Number of zeroblocks: 0 Total blocks: $n_full" \
    "$TS Device size \\(bytes\\) 67108864" "$TS End of run " \
    "$(re "Summarize device $sparse:")" \
    "$TS Number of non-zeroblocks: $n_sparse Number of zeroblocks: [0-9]+ Total blocks: [0-9]+" \
    "$TS Device size \\(bytes\\) 268435456" "$TS End of run " \
    "Summarize total 1 devices" \
    "$TS Number of non-zeroblocks: $n_full Number of zeroblocks: 0 Total blocks: $n_full" \
    "$TS Device size \\(bytes\\) 67108864" "$TS End of run " "Finished vantrel"
  ! grep -q other.img out err || fail "-d was used although --config was given"
  expect_match vantrel.log other.img 1  # only in the start line
}

test_batch_paragraphs() {
  make_image full.img 64
  put full.img 0 512 numbers
  put full.img 512 512 random
  echo "$work/full.img" > devices.txt
  run -s VRT --config devices.txt -p 2 -t 100 -c out.csv -P -v --logfile ""
  expect_status 0 "verbose batch in paragraphs"
  # The progress paragraphs stand for the device's summary: none is printed at the end.
  local lines=()
  mapfile -t lines < out
  local ticks=$(((${#lines[@]} - 18) / 11))
  [[ $ticks -ge 1 && ${#lines[@]} == $((18 + 11 * ticks)) ]] || { fail "paragraph output: $(cat out)"; return; }
  [[ ${lines[0]} == "Version: 1.0.1 (Build w014)" && ${lines[2]} == "Device name: $work/full.img" ]] ||
    fail "verbose header: ${lines[*]:0:5}"
  local i
  for ((i = 0; i < ticks; i++)); do
    [[ -z ${lines[5 + 11 * i]} && ${lines[6 + 11 * i]} == $'Device Name:\t\t\t'"$work/full.img" ]] ||
      fail "progress paragraph $i: ${lines[*]:5 + 11 * i:2}"
  done
  local end=$((5 + 11 * ticks))
  [[ -z ${lines[end]} && ${lines[end + 1]} =~ ^Finish\ time:\ $TS$ ]] || fail "finish lines: ${lines[*]:end:2}"
  local total=("${lines[@]:end + 2}")
  [[ -z ${total[0]} && ${total[1]} == "Total for analyzed devices:" && -z ${total[2]} &&
     ${total[3]} == $'Number of devices analyzed:\t1' && ${total[4]} == $'Total size(GB):\t\t\t0.1   ' &&
     ${total[10]} == "$(printf '%.0s=' {1..70})" ]] || fail "total paragraph: $(printf '%s|' "${total[@]}")"
  # A batch's CSV file holds no progress rows.
  local csv=()
  mapfile -t csv < out.csv
  [[ ${#csv[@]} == 6 && ${csv[5]} == "Total,1 Device,"* && ${csv[1]} == *",$work/full.img,"* ]] ||
    fail "batch CSV: $(cat out.csv)"
}

test_reproducible_seed() {
  make_image dev.img 64
  put dev.img 0 256 text
  put dev.img 512 256 random
  put dev.img 768 256 numbers
  # Without -Q the seed is logged; -Q with that seed repeats the run's figures.
  run -s VRT -d dev.img -p 1 -t 100 -c first.csv
  expect_status 0 "run with the clock's seed"
  local seed
  seed=$(sed -nE "s|^$TS Random seed: ([0-9]+)$|\\1|p" vantrel.log)
  [[ -n $seed ]] || { fail "no seed logged"; return; }
  run -s VRT -d dev.img -p 1 -t 100 -c second.csv -Q "$seed"
  expect_status 0 "run with -Q"
  cmp -s first.csv second.csv || fail "-Q $seed did not repeat the figures: $(cat first.csv second.csv)"
  expect_no_line vantrel.log "Random seed: $seed"
  expect_match vantrel.log "Random seed" 0
}

test_exhaustive_reads_every_block() {
  make_image dev.img 8
  put dev.img 0 10 text
  put dev.img 60 10 random
  put dev.img 100 3 numbers
  run -s VRT -d dev.img -p 3 -e --loglevel 5
  expect_status 0 "exhaustive run"
  expect_match err "Over 95%" 0
  local expected got
  expected=$(seq 0 $BLOCK $((127 * BLOCK)))
  got=$(sed -nE 's/^.* threadid: [0-2] read_location ([0-9]+) read_done rc -?[0-9]+ $/\1/p' vantrel.log | sort -nu)
  [[ $got == "$expected" ]] || fail "exhaustive run did not read every block once or more: $(echo "$got" | wc -l) of 128"

  # An empty device read whole: the stop rule fires inside the engine, yet the pass goes on to
  # the end; the device has no figures and says every block it read was zero.
  make_image zero.img 256
  run -s VRT -d zero.img -p 2 -e -t 10
  expect_status 0 "exhaustive run of an empty device"
  expect_occurrences err "No figures for the device (zero.img): every block read was zero (-e does not read the last block of each sampler thread's range)." 1
  expect_match vantrel.log "^$TS Number of non-zeroblocks: 0 Number of zeroblocks: 40(8[0-9]|9[0-9]) Total blocks: [0-9]+$" 1
}

test_all_zero_device() {
  make_image dev.img 256
  run -s VRT -d dev.img -p 2
  expect_status 0 "all-zero device"
  expect_text out ""
  expect_occurrences err "Analysis started at: " 1
  expect_occurrences err "Over 95% of the samples read from the device (dev.img$VERY_EMPTY_TAIL" 1
  expect_match vantrel.log "^$TS $(re "Over 95% of the samples read from the device (dev.img$VERY_EMPTY_TAIL")$" 1
  expect_match vantrel.log "^$TS Number of non-zeroblocks: 0 Number of zeroblocks: (340[1-9]|34[1-9][0-9]) Total blocks: [0-9]+$" 1

  # At log level 0 the level-1 message still reaches the console, but not the file.
  run -s VRT -d dev.img -p 2 --loglevel 0
  expect_status 0 "all-zero device at log level 0"
  expect_occurrences err "Over 95% of the samples read from the device (dev.img$VERY_EMPTY_TAIL" 1
  expect_lines vantrel.log "$TS Number of non-zeroblocks: 0 Number of zeroblocks: [0-9]+ Total blocks: [0-9]+" \
    "$TS Device size \\(bytes\\) 268435456" "$TS End of run "
}

test_io_error_limit() {
  make_image dev.img 16
  put dev.img 0 256 random
  # 256 blocks: a limit of 2, so 3 failed reads are tolerated and the 4th ends the run.
  faulty VANTREL_FAULT_FILE=dev.img VANTREL_FAULT_READS=655360-655361,1310720-1310721,1966080-1966081 -- \
    -s VRT -d dev.img -p 1 -e
  expect_status 0 "three failed reads"
  expect_match err "Aborting" 0
  faulty VANTREL_FAULT_FILE=dev.img VANTREL_FAULT_READS=655360-655361,1310720-1310721,1966080-1966081,2621440-2621441 -- \
    -s VRT -d dev.img -p 1 -e
  expect_status 17 "four failed reads"
  expect_occurrences err "$ABORT_1" 1
  expect_occurrences err "Error reading : 2621440 - Input/output error" 1
  expect_match err . 3
  expect_lines vantrel.log "$(re "$(start_line -s VRT -d dev.img -p 1 -e)")" "$TS Random seed: [0-9]+" \
    "Analysis started at: $TS" "$TS $(re "$ABORT_1")" "Error reading : 2621440 - Input/output error" \
    "Execution terminated"

  # Failed reads count over the whole run: the three that the first device of a batch was
  # allowed use up the second device's allowance, so its first failed read ends the run.
  cp dev.img second.img
  printf '%s\n' "$work/dev.img" "$work/second.img" > devices.txt
  faulty VANTREL_FAULT_FILE="$work/dev.img:$work/second.img" VANTREL_FAULT_READS=655360-655361,1310720-1310721,1966080-1966081 -- \
    -s VRT --config devices.txt -p 1 -e
  expect_status 17 "failed reads over two devices"
  expect_occurrences err "$ABORT_1" 1
  expect_occurrences err "Error reading : 655360 - Input/output error" 1
  # The first device, finished before the abort, is still reported.
  expect_match vantrel.log "^Summarize device " 1
  expect_line vantrel.log "Summarize device $work/dev.img:"
  expect_line vantrel.log "Summarize total 1 devices"

  # Every read fails: with -I the limit is 5 percent, and the abort message is written once
  # whatever the number of threads that exceed it.
  faulty VANTREL_FAULT_FILE=dev.img VANTREL_FAULT_READS=all -- -s VRT -d dev.img -p 4 -I
  expect_status 17 "every read fails"
  # Several threads may write to the standard error stream at once; count the texts.
  expect_occurrences err "$ABORT_5" 1
  expect_match err "Error reading : [0-9]+ - Input/output error"
  expect_match vantrel.log "^$TS $(re "$ABORT_5")$" 1
  expect_match vantrel.log "^Execution terminated$" 1
}

test_device_not_openable() {
  make_image dev.img 16
  put dev.img 0 16 text
  # The size is read through the first open; the sampler threads' opens fail.
  faulty VANTREL_FAULT_FILE=dev.img VANTREL_FAULT_OPENS_FROM=2 -- -s VRT -d dev.img -p 1
  # Not a success: the run ends as for a device that cannot be read.
  expect_status 15 "device not openable by the sampler threads"
  expect_occurrences err "Error opening : dev.img - Permission denied" 1
  expect_match vantrel.log "^Error opening : dev.img - Permission denied$" 1
  expect_match vantrel.log "^Execution terminated$" 1
}

test_csv_not_creatable() {
  make_image dev.img 16
  put dev.img 0 256 random
  run -s VRT -d dev.img -p 1 -t 20 -c nodir/out.csv
  expect_status 10 "CSV file not creatable"
  local message="cannot create csv filenodir/out.csv"
  [[ "$(tail -n 1 err)" == "$message - No such file or directory" ]] || fail "CSV message: $(cat err)"
  expect_match vantrel.log "^$(re "$message") - No such file or directory$" 1
  expect_match vantrel.log "^Execution terminated$" 1

  # A CSV file named like a device of the batch would empty it.
  echo "$work/dev.img" > devices.txt
  run -s VRT --config devices.txt -p 1 -t 20 -c dev.img
  expect_status 10 "CSV file on the device"
  message="cannot create csv filedev.img"
  [[ "$(tail -n 1 err)" == "$message - Operation not permitted" ]] || fail "CSV message: $(cat err)"
}

test_engine_memory() {
  [[ -n ${FAULT_MALLOC_LIB:-} ]] || { echo "needs a build without sanitizers"; exit 77; }
  make_image dev.img 16
  put dev.img 0 16 text
  PRELOAD=$FAULT_MALLOC_LIB faulty VANTREL_FAULT_MALLOC_MIN=16777216 -- -s VRT -d dev.img -p 50
  expect_status 26 "engine memory"
  expect_match err "^Cannot allocate memory for threads$" 1
  expect_match vantrel.log "^Cannot allocate memory for threads$" 1
  expect_match vantrel.log "^Execution terminated$" 1
}

run_named_test "$@"
