#!/usr/bin/env bash
# End-to-end tests of vantrel_Win32.exe under Wine, on image files named by Windows paths
# (Z:\...). The program is started through the launcher, which reads its full exit status.
# Environment: WINE (Wine's loader), LAUNCH (launch.exe), VANTREL_WIN (vantrel_Win32.exe),
# VANTREL_LINUX or VANTREL_LINUX_DEFAULT (the Linux program, for the figures' comparison).
#   usage: program_test.sh <test name>
: "${WINE:?Wine loader}" "${LAUNCH:?launch.exe}" "${VANTREL_WIN:?vantrel_Win32.exe}"
LINUX_PROGRAM=${VANTREL_LINUX:-${VANTREL_LINUX_DEFAULT:-}}
VANTREL=vantrel FAULT_LIB=none source "$(dirname "$0")/../frontend_cli/cli_lib.sh"

# winpath path: the Windows name of a Linux path, on Wine's drive Z:.
winpath() { local full; full=$(realpath -m "$1"); printf 'Z:%s' "${full//\//\\}"; }

# winrun args...: runs the Windows program; stdout in out, stderr in err (carriage returns
# removed), the full exit status in $status. Checks that no image in the folder changed. With
# HOLD set to a file, the launcher holds that file while the program runs, as another run would.
winrun() {
  local before hold=()
  before=$(fingerprint)
  rm -f status
  [[ -z ${HOLD:-} ]] || hold=(--hold "$(winpath "$HOLD")")
  "$WINE" "$LAUNCH" "${hold[@]}" "$(winpath status)" "$VANTREL_WIN" "$@" > out.raw 2> err.raw
  status=$(cat status 2> /dev/null || echo "no status")
  tr -d '\r' < out.raw > out
  tr -d '\r' < err.raw > err
  [[ "$(fingerprint)" == "$before" ]] || fail "an image changed during: vantrel_Win32 $*"
}

# A 64 MiB image of zeros, text, numbers and random blocks.
make_mixed_image() {
  make_image "$1" 64
  put "$1" 40 96 text
  put "$1" 300 64 numbers
  put "$1" 600 24 random
}

# The CSV file's figures: carriage returns removed, the device name field left out.
csv_figures() { tr -d '\r' < "$1" | cut -d, -f1,3-; }

# The Linux program's figures for the same image and seed: linux_csv file args...
linux_csv() {
  local file=$1
  shift
  "$LINUX_PROGRAM" "$@" -c "$file" --logfile linux.log > /dev/null 2>&1 || fail "Linux run: $* (status $?)"
}

require_linux_program() {
  if [[ ! -x "$LINUX_PROGRAM" ]]; then
    echo "the Linux program is missing (build the normal build or set VANTREL_LINUX)" >&2
    exit 77
  fi
}

# figures_equal options...: the Windows program's CSV figures equal the Linux program's for each
# set of options (each with its sample target), on one image, with one thread and one seed.
figures_equal() {
  require_linux_program
  make_mixed_image image.img
  local win options
  win=$(winpath image.img)
  for options; do
    # shellcheck disable=SC2086
    linux_csv linux.csv $options -d image.img -Q 11 -p 1
    # shellcheck disable=SC2086
    winrun $options -d "$win" -Q 11 -p 1 -c "$(winpath win.csv)" --logfile "$(winpath win.log)"
    expect_status 0 "$options"
    [[ "$(csv_figures win.csv)" == "$(csv_figures linux.csv)" ]] ||
      fail "$options: figures differ: $(diff <(csv_figures linux.csv) <(csv_figures win.csv))"
  done
}

# Where both builds compress alike (6.4, 7.1, KSM) both programs sample the same blocks and
# give the same figures, sampled and exhaustive.
test_figures_equal_linux_vrt_sampled() { figures_equal "-s VRT --storageVer 6.4 -t 600" "-s VRT --storageVer 7.1 -t 600"; }
test_figures_equal_linux_ksm_sampled() { figures_equal "-s KSM -t 150"; }
test_figures_equal_linux_exhaustive() { figures_equal "-s VRT --storageVer 7.1 -e" "-s KSM -e"; }

# 7.2 and 7.3 use the Windows matcher layout: the same samples, compression savings close.
test_figures_close_linux() {
  require_linux_program
  make_mixed_image image.img
  local win version
  win=$(winpath image.img)
  for version in 7.2 7.3; do
    linux_csv linux.csv -s VRT --storageVer $version -d image.img -Q 11 -p 1 -t 600
    winrun -s VRT --storageVer $version -d "$win" -Q 11 -p 1 -t 600 -c "$(winpath win.csv)"
    expect_status 0 "$version"
    local linux_row win_row
    linux_row=$(csv_figures linux.csv | sed -n 2p)
    win_row=$(csv_figures win.csv | sed -n 2p)
    local l w
    IFS=, read -r -a l <<< "$linux_row"
    IFS=, read -r -a w <<< "$win_row"
    [[ ${w[0]} == "${l[0]}" && ${w[1]} == "${l[1]}" ]] || fail "$version: samples or size differ: $win_row vs $linux_row"
    near "${w[6]}" "${l[6]}" 1.0 || fail "$version: compression savings ${w[6]} vs ${l[6]}"
  done
}

# The CSV and log files are the Windows program's own: a CSV header and row, and a log with
# the start line (the command line as the program received it), the seed-less run's lines and
# the end-of-run lines.
test_csv_and_log_files() {
  make_mixed_image image.img
  local win
  win=$(winpath image.img)
  winrun -s VRT -d "$win" -p 2 -c "$(winpath run.csv)" --logfile "$(winpath run.log)"
  expect_status 0
  tr -d '\r' < run.csv > run.csv.txt
  expect_line run.csv.txt "$CSV_HEADER"
  expect_match run.csv.txt "^[0-9]+,$(re "$win"),0\\.06[0-9],"
  tr -d '\r' < run.log > run.log.txt
  expect_match run.log.txt "^starting Orvane Tessaline 6170 Vantrel: \\(1\\.0\\.1 w014\\) .*vantrel_Win32\\.exe -s VRT -d $(re "$win") -p 2 "
  expect_match run.log.txt "^$TS Random seed: [0-9]+$" 1
  expect_line run.log.txt "Finished vantrel"
  expect_match run.log.txt "^$TS Device size \\(bytes\\) 67108864$" 1
}

# A name with characters above 255 reaches the system whole (the image opens); the reports name
# it with each character cut to its low 8 bits, and the CSV file of such a name is created.
test_wide_names() {
  make_mixed_image 'диск Ω.img'
  local win narrow
  win=$(winpath 'диск Ω.img')
  # д и с к -> 0x34 0x38 0x41 0x3A, Ω (U+03A9) -> 0xA9.
  narrow=$(printf '%s' "${win%диск Ω.img}")$'\x34\x38\x41\x3a \xa9.img'
  winrun -s VRT -d "$win" -p 1 -Q 3 -c "$(winpath 'отчёт Ω.csv')" --logfile "$(winpath 'журнал.log')"
  expect_status 0
  [[ -f 'отчёт Ω.csv' && -f 'журнал.log' ]] || fail "the CSV or log file of a wide name is missing: $(ls)"
  LC_ALL=C grep -qF -- ",$narrow," 'отчёт Ω.csv' || fail "CSV row lacks the narrowed name: $(LC_ALL=C cat -v 'отчёт Ω.csv')"
  LC_ALL=C grep -qF -- "|$narrow " out || fail "table row lacks the narrowed name: $(LC_ALL=C cat -v out)"
}

# -l under Wine: no disks are listed, status 0; the log gets its start line. -n 0: no disk 0.
test_disk_list_and_number() {
  winrun -l --logfile "$(winpath list.log)"
  expect_status 0 "-l"
  expect_text err ""
  expect_text out ""
  tr -d '\r' < list.log > list.log.txt
  expect_match list.log.txt "^starting Orvane Tessaline 6170 Vantrel: .* -l --logfile " 1

  make_image image.img 8
  winrun -s VRT -n 0 -d "$(winpath image.img)" --logfile "$(winpath n.log)"
  expect_status 414 "-n 0"
  expect_line err "Drive number not found"
  tr -d '\r' < n.log > n.log.txt
  expect_line n.log.txt "Drive number not found"
  expect_line n.log.txt "Execution terminated"
}

# Batch entries naming disks that are not there are reported in the log and on the console and
# dropped; a device path among them (a batch device starts with a backslash) is analysed; when
# nothing is left the status is 425.
test_batch_missing_disks() {
  make_mixed_image image.img
  local win
  win="\\\\?\\$(winpath image.img)"
  printf '[3]\n%s\n[7]\n' "$win" > batch.txt
  winrun -s VRT --config "$(winpath batch.txt)" -p 1 -Q 5 --logfile "$(winpath b.log)"
  expect_status 0 "batch with a device"
  expect_line err "Drive number (3) not found"
  expect_line err "Drive number (7) not found"
  tr -d '\r' < b.log > b.log.txt
  expect_match b.log.txt "^$TS $(re 'Drive number (3) not found')$" 1
  expect_match b.log.txt "^$TS $(re 'Drive number (7) not found')$" 1
  expect_line b.log.txt "Summarize device $win:"

  printf '[3]\n[7]\n' > disks.txt
  winrun -s VRT --config "$(winpath disks.txt)" --logfile "$(winpath d.log)"
  expect_status 425 "batch of missing disks"
  expect_line err "Drive number (3) not found"
  expect_line err "Drive number (7) not found"
}

# A batch file as Windows editors and shells save it: UTF-16 LE with its mark (what Windows
# PowerShell 5.1 writes with >), UTF-8 with or without a mark, and text in the ANSI code page
# (1252 in the C locale). Each names the same two images, one with a character above 127, and
# a third line that is a syntax error, reported with its own line number.
test_batch_file_encodings() {
  make_image plain.img 8
  put plain.img 0 32 text
  make_image 'café.img' 8
  put 'café.img' 0 32 numbers
  # A batch device starts with a backslash: \\?\Z:\...
  local plain="\\\\?\\$(winpath plain.img)" accented="\\\\?\\$(winpath 'café.img')" text
  text="$plain"$'\r\n'"$accented"$'\r\n'$'disk\r\n'
  printf '\xff\xfe' > utf16.txt
  printf '%s' "$text" | iconv -f UTF-8 -t UTF-16LE >> utf16.txt
  printf '\xef\xbb\xbf%s' "$text" > utf8-mark.txt
  printf '%s' "$text" > utf8.txt
  printf '%s' "$text" | iconv -f UTF-8 -t CP1252 > ansi.txt
  local file
  for file in utf16.txt utf8-mark.txt utf8.txt ansi.txt; do
    LC_ALL=C.UTF-8 winrun -s VRT --config "$(winpath $file)" -p 1 -t 20 -Q 3 -c "$(winpath $file.csv)" \
      --logfile "$(winpath $file.log)"
    expect_status 0 "$file"
    tr -d '\r' < $file.csv > $file.csv.txt
    tr -d '\r' < $file.log > $file.log.txt
    expect_match $file.csv.txt "^[0-9]+,$(re "$plain")," 1
    # The reports cut each character to 8 bits: é (U+00E9) shows as the byte 0xE9.
    LC_ALL=C grep -qF -- ",${accented%café.img}caf"$'\xe9'".img," $file.csv.txt || fail "$file: no CSV line of café.img"
    expect_match $file.log.txt "^Summarize total 2 devices$" 1
    expect_match $file.log.txt "^$TS $(re 'batch file syntax error: (line 3) "disk"')$" 1
    expect_occurrences $file.log.txt "syntax error" 1
  done
}

# Start-up answers: the Windows usage text (status 1), a thread count of 51 (411), a block
# size whose sample cannot span two blocks and a command line that cannot be parsed (404), a device that cannot be sized (415, with the Win32 code).
test_start_up_statuses() {
  winrun -h
  expect_status 1 "-h"
  expect_text out "Orvane Tessaline 6170 Vantrel version : 1.0.1 (Build w014)
Usage :
vantrel <-s storage_type> [ -h | -l | -d device | -n disk_number] [-c filename] [-v] [-p number_of_threads] [-P] [-I] [--config=task_file]
-n                   Disk number
-l                   List devices
-d device name       Path of device to analyze
-p number            Number of threads (default 10)
-c                   Export the results to a CSV file
-v                   Verbose output
-h                   Print this help message
-P                   Display results using a paragraph format
-s,--storageSys      Storage system type. Supported values are: VRT or KSM
--stripewidth        Storage stripe width (5 - 16 )
-I                   Allow larger scale of storage io-error threshold rate (up to 5%)
--config=file        Configuration file that contains list of devices to analyze

"
  make_image image.img 8
  winrun -s VRT -d "$(winpath image.img)" -p 51 --logfile "$(winpath t.log)"
  expect_status 411 "-p 51"
  expect_line err "Number of threads must be in the range of 1..50"

  winrun -s VRT -d "$(winpath image.img)" -g 67108864 --logfile "$(winpath g.log)"
  expect_status 404 "-g 67108864"
  expect_line out "Block size must be at most 33554432 bytes, so that a sample can span two blocks"

  winrun -s VRT --nonsense -d "$(winpath image.img)" --logfile "$(winpath o.log)"
  expect_status 404 "a bad option"
  expect_match err "^Unable to parse command line: "

  local missing
  missing=$(winpath missing.img)
  winrun -s VRT -d "$missing" --logfile "$(winpath m.log)"
  expect_status 415 "a missing device"
  expect_match err "^$(re "Cannot read ($missing) device size Errno : 2 Error Message: ").*\\(Win32 error 2\\)$"
}

# The CSV and log files are never created on the run's inputs or a device: the image under
# another name (a hard link, the same file index), another spelling, and \\.\PhysicalDrive0.
test_outputs_never_over_inputs() {
  make_mixed_image image.img
  ln image.img other.img
  local win
  win=$(winpath image.img)
  winrun -s VRT -d "$win" -p 1 -c "$(winpath other.img)"
  expect_status 410 "CSV over the image"
  winrun -s VRT -d "$win" -p 1 -c '\\.\PhysicalDrive0'
  expect_status 410 "CSV over a disk"
  winrun -s VRT -d "$win" -p 1 --logfile "${win//\\//}"
  expect_status 412 "log over the image"
}

# One image under several names in a batch file (its \\?\ path, the / and \ spellings Wine
# takes on drive Z:, a hard link, a symbolic link, a ./ spelling and a \\.\ path) is sampled
# once: each later name is a duplicate of its line. Two names of a missing file are compared by
# their text only and both skipped as unsizable.
test_batch_names_of_one_file_sampled_once() {
  make_mixed_image one.img
  ln one.img hard.img
  ln -s one.img soft.img
  local lines=("\\\\?\\$(winpath one.img)" "$work/one.img" "${work//\//\\}\\hard.img"
               "\\\\?\\$(winpath .)\\soft.img" "$work/./one.img" "\\\\.\\$(winpath one.img)"
               "$work/missing.img" "\\$work/missing.img")
  printf '%s\n' "${lines[@]}" > batch.txt
  winrun -s VRT --config "$(winpath batch.txt)" -p 1 -t 20 -Q 3 -c "$(winpath run.csv)" --logfile "$(winpath run.log)"
  expect_status 0 "one image under several names"
  tr -d '\r' < run.log > run.log.txt
  local i
  for i in 1 2 3 4 5; do
    expect_match run.log.txt "^$TS $(re "batch file duplicate entry error: (line $((i + 1))) \"${lines[i]}\" is already listed")$" 1
  done
  expect_occurrences run.log.txt "duplicate entry error" 5
  expect_match run.log.txt "^Summarize device " 1
  expect_line run.log.txt "Summarize device ${lines[0]}:"
  expect_line run.log.txt "Summarize total 1 devices"
  expect_match err "^Can't evaluate .*missing\.img size, skipping$" 2
  tr -d '\r' < run.csv > run.csv.txt
  expect_match run.csv.txt "^Total,1 Device," 1
}

# console_run args...: winrun with a console: the program's streams on a terminal (wide enough
# for a CSV line), which Wine turns into the process's console, so that CON can be opened. What
# reached the terminal is in console (and err), its control sequences removed: Wine draws a
# blank as an erase and a cursor move.
console_run() {
  command -v script > /dev/null || { echo "script (util-linux) is missing" >&2; exit 77; }
  rm -f status
  printf '%q ' "$WINE" "$LAUNCH" "$(winpath status)" "$VANTREL_WIN" "$@" > console_command
  script -qec "stty cols 1000; bash console_command" /dev/null < /dev/null > console.raw 2>&1
  status=$(cat status 2> /dev/null || echo "no status")
  perl -pe 's/\e\[K\e\[(\d+)C/" " x $1/ge; s/\e\[[0-9;?]*[A-Za-z]//g; s/\r//g' console.raw > console
  cp console err
}

# The null device and the console take the log and the CSV file; disks and volumes stay
# refused.
test_null_and_console_outputs() {
  make_mixed_image image.img
  local win
  win=$(winpath image.img)
  local names=(NUL nul '\\.\NUL')
  local name
  for name in "${names[@]}"; do
    winrun -s VRT -d "$win" -p 1 -Q 5 -t 50 -c "$name" --logfile "$name"
    expect_status 0 "-c $name --logfile $name"
    expect_match out "^[0-9]+ +\|$(re "$win") \|" 1
  done
  [[ "$(ls | sort)" == "$(printf '%s\n' err err.raw image.img out out.raw status | sort)" ]] ||
    fail "the null device left files: $(ls)"

  console_run -s VRT -d "$win" -p 1 -Q 5 -t 50 -c CON --logfile "$(winpath run.log)"
  expect_status 0 "-c CON"
  expect_line console "$CSV_HEADER"
  expect_match console "^[0-9]+,$(re "$win"),0\\.06[0-9]," 1
  console_run -s VRT -d "$win" -p 1 -Q 5 -t 50 --logfile CON
  expect_status 0 "--logfile CON"
  # The console shows no blanks at the ends of its lines.
  expect_match console "^starting Orvane Tessaline 6170 Vantrel: .* --logfile CON ?$" 1
  expect_match console "^$TS End of run ?$" 1

  winrun -s VRT -d "$win" -p 1 -t 50 -c '\\.\C:'
  expect_status 410 "CSV over a volume"
  winrun -s VRT -d "$win" -p 1 -t 50 --logfile '\\.\PhysicalDrive0'
  expect_status 412 "log over a disk"
}

# Every spelling of a disk or volume, whatever its prefix (\\.\, \\?\, \??\, GLOBALROOT), slashes
# and case, is refused as the log or the CSV file before anything is opened or sampled: status
# 412 or 410 at start-up, as \\.\PhysicalDrive0 always was. A file named through the namespace
# (\\?\Z:\..., \\.\Z:\...) is an ordinary file and is written.
test_device_namespace_outputs_refused_by_name() {
  make_image image.img 8
  put image.img 0 32 text
  local win
  win=$(winpath image.img)
  local names=('\\?\PhysicalDrive0' '//./PhysicalDrive0' '\??\PhysicalDrive0' '\\?\C:' '\??\C:' '//./C:'
               '//?/physicaldrive0' '\/.\c:' '\\?\GLOBALROOT\Device\Harddisk0\Partition0'
               '\\.\globalroot\Device\Null' '\\.\C:\..\PhysicalDrive0')
  local name
  for name in "${names[@]}"; do
    winrun -s VRT -d "$win" -p 1 -t 20 -Q 5 -c "$name" --logfile "$(winpath run.log)"
    expect_status 410 "-c $name"
    expect_text err "cannot create csv file$name"$'\n'"cannot create csv file$name - Operation not permitted"$'\n'
    expect_text out ""
    winrun -s VRT -d "$win" -p 1 -t 20 -Q 5 --logfile "$name"
    expect_status 412 "--logfile $name"
    expect_text err "Cannot create logfile $name - Operation not permitted"$'\n'
    expect_text out ""
  done

  winrun -s VRT -d "$win" -p 1 -t 20 -Q 5 -c "\\\\?\\$(winpath long.csv)" --logfile "\\\\.\\$(winpath device.log)"
  expect_status 0 "files named through the device namespace"
  tr -d '\r' < long.csv > long.csv.txt
  expect_lines long.csv.txt "$(re "$CSV_HEADER")" "20,$(re "$win"),[-0-9.,]+"
  tr -d '\r' < device.log > device.log.txt
  expect_line device.log.txt "Finished vantrel"
}

# A device or folder given as the batch file is refused unread, with status 423: the null
# device (which read as an empty file), a disk or volume under any spelling, and the console
# (which waited for typed input); a folder as before. A pipe is read.
test_device_batch_files_refused_unread() {
  mkdir folder
  local names=(NUL nul '\\.\NUL' '\\.\PhysicalDrive0' '\\?\PhysicalDrive0' '\\?\C:' '//./C:' 'Z:\dev\null')
  local name
  for name in "${names[@]}"; do
    winrun -s VRT --config "$name" -p 1 --logfile "$(winpath run.log)"
    expect_status 423 "--config $name"
    expect_text err "Cannot open configuration file $name - Operation not permitted"$'\n'
  done
  winrun -s VRT --config "$(winpath folder)" -p 1 --logfile "$(winpath run.log)"
  expect_status 423 "a folder"
  expect_text err "Cannot open configuration file $(winpath folder) - Is a directory"$'\n'

  console_run -s VRT --config CON -p 1 --logfile "$(winpath run.log)"
  expect_status 423 "--config CON"
  expect_line console "Cannot open configuration file CON - Operation not permitted"

  make_image image.img 8
  put image.img 0 32 text
  mkfifo batch.fifo
  local image="\\\\?\\$(winpath image.img)"
  timeout 600 bash -c 'printf "%s\n" "$1" > batch.fifo' writer "$image" &
  winrun -s VRT --config "$(winpath batch.fifo)" -p 1 -t 20 -Q 5 --logfile "$(winpath run.log)"
  wait
  expect_status 0 "a pipe"
  expect_match out "^[0-9]+ +\|$(re "$image") \|" 1
}

# A report on a pipe whose reader has left (it opened the pipe and went before the program
# started) fails with the real reason, as on Linux, and the log says so too.
test_report_on_a_pipe_without_reader() {
  make_mixed_image image.img
  mkfifo pipe
  (exec 4< pipe) &
  rm -f status
  "$WINE" "$LAUNCH" "$(winpath status)" "$VANTREL_WIN" -s VRT -d "$(winpath image.img)" -p 1 -Q 5 -t 50 \
    --logfile "$(winpath run.log)" > pipe 2> err.raw
  wait
  status=$(cat status 2> /dev/null || echo "no status")
  tr -d '\r' < err.raw > err
  tr -d '\r' < run.log > log
  expect_status 418 "a report on a pipe without reader"
  expect_line err "Cannot write standard output - Broken pipe"
  expect_line log "Cannot write standard output - Broken pipe"
}

HELD='Another vantrel run or program is using this file'

# A log or CSV file that another run holds (here the launcher, sharing it for reading only)
# refuses the run before anything is emptied or read; the held file and the CSV file stay as
# they were.
test_outputs_held_by_another_run() {
  make_mixed_image image.img
  local win log csv
  win=$(winpath image.img) log=$(winpath run.log) csv=$(winpath run.csv)
  # held file|status|console message
  local cases=(
    "run.log|412|Cannot create logfile $log - $HELD"
    "run.csv|410|cannot create csv file$csv"
  )
  local entry held code message file
  for entry in "${cases[@]}"; do
    IFS='|' read -r held code message <<< "$entry"
    for file in run.log run.csv; do printf 'earlier %s\n' "$file" > "$file"; done
    HOLD=$held winrun -s VRT -d "$win" -p 1 -t 20 -Q 5 -c "$csv" --logfile "$log"
    expect_status "$code" "$held held"
    # A CSV file's refusal is followed by its reason.
    if [[ $code == 410 ]]; then
      expect_text err "$message"$'\n'"$message - $HELD"$'\n'
    else
      expect_text err "$message"$'\n'
    fi
    expect_text out ""
    expect_text "$held" "earlier $held"$'\n'
    expect_text run.csv "earlier run.csv"$'\n'
    if [[ $held == run.csv ]]; then
      tr -d '\r' < run.log > run.log.txt
      expect_lines run.log.txt "starting Orvane Tessaline 6170 Vantrel: .*" \
        "$(re "$message - $HELD")" "Execution terminated"
    fi
  done
}

# A run that writes no CSV line leaves an earlier CSV file as it was: a device that cannot be
# sized and the -l listing; a run that writes one leaves nothing of it.
test_csv_kept_without_a_line() {
  local csv earlier=$'Sample#,Device Name\n3400,earlier,run,with,a,long,line\n'
  csv=$(winpath run.csv)
  printf '%s' "$earlier" > run.csv
  winrun -s VRT -d "$(winpath missing.img)" -c "$csv" --logfile "$(winpath run.log)"
  expect_status 415 "a missing device"
  expect_text run.csv "$earlier"
  winrun -l -c "$csv" --logfile "$(winpath run.log)"
  expect_status 0 "-l"
  expect_text run.csv "$earlier"

  make_image image.img 8
  put image.img 0 32 text
  winrun -s VRT -d "$(winpath image.img)" -p 1 -t 20 -Q 5 -c "$csv" --logfile "$(winpath run.log)"
  expect_status 0 "a run with a line"
  tr -d '\r' < run.csv > run.csv.txt
  expect_lines run.csv.txt "$(re "$CSV_HEADER")" "20,$(re "$(winpath image.img)"),[-0-9.,]+"
}

run_named_test "$@"
