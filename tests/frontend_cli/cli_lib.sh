# Shared set-up and checks of the black-box tests of the vantrel program, sourced by every
# *_test.sh script of this folder: a temporary work folder, image makers, the run wrappers,
# the expectations and run_named_test, which runs the test named on the command line.
# Environment: VANTREL (the program), FAULT_LIB (the fault-injection preload library) and,
# in builds without sanitizers, FAULT_MALLOC_LIB (the same with failing large allocations).

: "${VANTREL:?path of the vantrel program}" "${FAULT_LIB:?path of the fault-injection library}"
work=$(mktemp -d /tmp/vantrel_cli.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

failures=0
TS='[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6}'
BLOCK=65536
VERY_EMPTY_TAIL=') are empty regions. Device is estimated to be very empty, aborting scan.'
ABORT_1='Aborting run over current device due to a high number (>1%) of samples returned from the storage with I/O error. Use -I <flag> to allow up to 5% of samples returned with errors.'
ABORT_5='Aborting run over current device due to a high number (>5%) of samples returned from the storage with I/O error.'

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# ---- images -------------------------------------------------------------------------------

# make_image file MiB: a sparse image of zeros.
make_image() { rm -f "$1"; truncate -s "$2M" "$1"; }

# put file first_block block_count kind: writes 64 KiB blocks of text, numbers or random bytes.
put() {
  local file=$1 first=$2 count=$3 kind=$4 bytes=$(($3 * BLOCK))
  case "$kind" in
    text)    yes "the quick brown fox jumps over the lazy dog; record status ok, retry 0" ;;
    numbers) seq 1000000 99999999 ;;
    random)  cat /dev/urandom ;;
  esac 2>/dev/null | head -c "$bytes" |
    dd of="$file" bs=$BLOCK seek="$first" conv=notrunc iflag=fullblock status=none
}

# data_image file MiB: an image full of numbers as text.
data_image() {
  make_image "$1" "$2"
  put "$1" 0 $(($2 * 16)) numbers
}

# three_device_batch: a.img, b.img and c.img (16 MiB data images, their paths in $a, $b and $c)
# listed in that order in devices.txt.
three_device_batch() {
  data_image a.img 16
  data_image b.img 16
  data_image c.img 16
  a=$work/a.img b=$work/b.img c=$work/c.img
  printf '%s\n' "$a" "$b" "$c" > devices.txt
}

# ---- running the program ------------------------------------------------------------------

fingerprint() {
  local f
  for f in *.img; do
    [[ -f "$f" ]] && echo "$f $(md5sum < "$f") $(stat -c '%y %s' "$f")"
  done
}

# run args...: runs vantrel; stdout in out, stderr in err, exit status in $status. Checks that
# no image in the folder changed.
run() {
  local before
  before=$(fingerprint)
  "$VANTREL" "$@" > out 2> err
  status=$?
  [[ "$(fingerprint)" == "$before" ]] || fail "an image changed during: vantrel $*"
}

# faulty VAR=value... -- args...: run with the fault-injection library preloaded.
faulty() {
  local settings=()
  while [[ $1 != -- ]]; do settings+=("$1"); shift; done
  shift
  local asan=${ASAN_OPTIONS:-}
  local before
  before=$(fingerprint)
  env "${settings[@]}" LD_PRELOAD="${PRELOAD:-$FAULT_LIB}" \
    ASAN_OPTIONS="${asan:+$asan:}verify_asan_link_order=0" "$VANTREL" "$@" > out 2> err
  status=$?
  [[ "$(fingerprint)" == "$before" ]] || fail "an image changed during: vantrel $*"
}

# start_stalled device stdout args...: starts vantrel in the background (at most 20 minutes)
# with the fault-injection library holding every read of `device` until a file named gate
# exists: the run stays at that point, whatever the machine's speed, until finish_stalled. Its
# standard output goes to the file `stdout`, its standard error to stalled.err; its process id
# is in $stalled_pid.
start_stalled() {
  local device=$1 target=$2 asan=${ASAN_OPTIONS:-}
  shift 2
  # The last run's standard error must not answer a wait for this run's lines.
  rm -f gate stalled.err
  VANTREL_FAULT_FILE=$device VANTREL_FAULT_READ_GATE=gate LD_PRELOAD="$FAULT_LIB" \
    ASAN_OPTIONS="${asan:+$asan:}verify_asan_link_order=0" \
    timeout -k 5 1200 "$VANTREL" "$@" > "$target" 2> stalled.err &
  stalled_pid=$!
}

# wait_for_line file regex: waits until the file holds a line matching the extended regex;
# fails and returns 1 when the stalled run ends before that.
wait_for_line() {
  until grep -qE -- "$2" "$1" 2> /dev/null; do
    if ! kill -0 "$stalled_pid" 2> /dev/null; then
      grep -qE -- "$2" "$1" 2> /dev/null && return 0
      fail "the run ended before $1 held a line /$2/: $(head -c 400 stalled.err)"
      return 1
    fi
    sleep 0.05
  done
}

# finish_stalled: lets the stalled run's reads go on and waits for its end; its exit status in
# $status.
finish_stalled() {
  : > gate
  wait "$stalled_pid"
  status=$?
}

# ---- checks -------------------------------------------------------------------------------

expect_status() {
  [[ $status == "$1" ]] || fail "${2:-run}: exit status $status, expected $1; stderr: $(head -c 400 err)"
}

# expect_text file expected-text: the whole file, byte for byte.
expect_text() {
  local got
  got=$(cat "$1"; echo x)
  [[ "${got%x}" == "$2" ]] || fail "$1 differs:
--- got
${got%x}--- expected
$2---"
}

# expect_line file line: the file holds the line exactly (fixed string).
expect_line() { grep -qxF -- "$2" "$1" || fail "$1 lacks the line: $2"; }
expect_no_line() { ! grep -qxF -- "$2" "$1" || fail "$1 holds the line: $2"; }
# expect_match file regex [count]: lines matching the extended regex (count: how many).
expect_match() {
  local n
  n=$(grep -cE -- "$2" "$1")
  if [[ $# -ge 3 ]]; then
    [[ $n == "$3" ]] || fail "$1: $n lines match /$2/, expected $3"
  else
    [[ $n -ge 1 ]] || fail "$1: no line matches /$2/"
  fi
}

# expect_occurrences file text count: how often the fixed text occurs, wherever it stands.
expect_occurrences() {
  local n
  n=$(grep -oF -- "$2" "$1" | wc -l)
  [[ $n == "$3" ]] || fail "$1 holds '$2' $n times, expected $3"
}

# re text: the text as an extended regex that matches it literally.
re() { printf '%s' "$1" | sed 's/[][\.*^$+?(){}|/]/\\&/g'; }

# expect_lines file regex...: the file's lines match the regexes one for one, in order.
expect_lines() {
  local file=$1 i=0 line
  shift
  local patterns=("$@")
  local lines=()
  mapfile -t lines < "$file"
  if [[ ${#lines[@]} != "${#patterns[@]}" ]]; then
    fail "$file has ${#lines[@]} lines, expected ${#patterns[@]}:
$(cat "$file")"
    return
  fi
  for line in "${lines[@]}"; do
    [[ $line =~ ^${patterns[i]}$ ]] || fail "$file line $((i + 1)): '$line' does not match /${patterns[i]}/"
    i=$((i + 1))
  done
}

# expect_one_device_summary log device blocks bytes: from its first "Summarize device" line on,
# the log holds the summary of the one device `device` and totals of it alone, then the end of
# a failed run. `blocks` and `bytes` (regexes) are the device's non-zero blocks and its size;
# it has no zero block.
expect_one_device_summary() {
  local block_line="$TS Number of non-zeroblocks: $3 Number of zeroblocks: 0 Total blocks: $3"
  sed -n '/^Summarize device /,$p' "$1" > summary.log
  expect_lines summary.log "$(re "Summarize device $2:")" \
    "$block_line" "$TS Device size \\(bytes\\) $4" "$TS End of run " \
    "Summarize total 1 devices" \
    "$block_line" "$TS Device size \\(bytes\\) $4" "$TS End of run " "Execution terminated"
}

# The log's start line for the command line "vantrel args...".
start_line() {
  local text="starting Orvane Tessaline 6170 Vantrel: (1.0.1 w014) $VANTREL " arg
  for arg; do text+="$arg "; done
  printf '%s' "$text"
}

# accuracy samples [deltaError]: the accuracy range in percent with three decimals.
accuracy() { awk -v n="$1" -v d="${2:-10000000}" 'BEGIN { printf "%.3f", 100 * sqrt(log(2 * d) / (2 * n)) }'; }

# near a b tolerance: |a - b| <= tolerance.
near() { awk -v a="$1" -v b="$2" -v t="$3" 'BEGIN { d = a - b; exit !(d <= t && -d <= t) }'; }

# check_row row csv-line width: the table row has the fixed columns and shows the CSV figures.
check_row() {
  local row=$1 csv=$2 width=$3 name_width=$(($3 + 7))
  local pattern="^(.{13})\\|(.{$name_width,})\\|(.{9}) \\|(.{11}) \\|(.{11}) \\|(.{10})% \\|(.{17})% \\|(.{11})% \\|(.{16})%?\$"
  if [[ ! $row =~ $pattern ]]; then
    fail "table row has the wrong shape: '$row'"
    return
  fi
  local cells=("${BASH_REMATCH[@]:1}") fields
  IFS=, read -r -a fields <<< "$csv"
  [[ "${cells[0]%% *}" == "${fields[0]}" ]] || fail "row count '${cells[0]}' vs CSV '${fields[0]}'"
  [[ "$(echo "${cells[1]}" | sed 's/ *$//')" == "${fields[1]}" ]] || fail "row name '${cells[1]}' vs CSV '${fields[1]}'"
  local i
  for i in 2 3 4 5 6 7 8; do
    local shown=${cells[i]// /} value=${fields[i]}
    if [[ $value == N/A ]]; then
      [[ $shown == N/A ]] || fail "row column $i '$shown', expected N/A"
      continue
    fi
    # The console shows compression savings below 0.1 in magnitude as 0.
    if [[ $i == 7 ]] && near "$value" 0 0.0999; then value=0; fi
    near "$shown" "$value" 0.0501 || fail "row column $i shows '$shown', CSV has $value"
  done
}

CSV_HEADER='Sample#,Device Name,Size(GB),Compressed Size(GB),Total Savings(GB),Total Savings %,Thin Provisioning Savings %,Compression Savings %,Accuracy Range %'

# table_header width: the table header's four lines (after its empty line).
table_header() {
  local w=$1 dashes
  dashes=$(printf '%*s' "$w" '' | tr ' ' -)
  printf ' Sample#     |%-*s| Size(GB) | Compressed |   Total    |   Total    | Thin Provisioning | Compression |   Compression\n' $((w + 7)) ' Device'
  printf '             |%-*s|          |  Size(GB)  | Savings(GB)| Savings(%%) |    Savings(%%)     | Savings(%%)  | Accuracy Range(%%)\n' $((w + 7)) '  Name'
  printf -- '-------------+%s-------+----------+------------+------------+------------+-------------------+-------------+------------------\n' "$dashes"
}

# run_named_test name: runs test_<name> and exits 1 when any check failed.
run_named_test() {
  local name=${1:?test name}
  if ! declare -F "test_$name" > /dev/null; then
    echo "no such test: $name" >&2
    exit 2
  fi
  "test_$name"
  if ((failures > 0)); then
    echo "$name: $failures failure(s)" >&2
    exit 1
  fi
  echo "$name: passed"
}
