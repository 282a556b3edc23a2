#!/usr/bin/env bash
# The launcher's self-test: a status above 255 arrives whole, the arguments (blanks, quotes,
# backslashes, characters beyond 8 bits) arrive unchanged, and the output passes through.
#   usage: launch_test.sh <wine> <launch.exe> <exit_with.exe>
set -euo pipefail
wine=$1 launch=$2 program=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

args=('two words' 'say "hi"' 'C:\dir\' 'a\\"b' 'Ωmega ж' '')
status=0
"$wine" "$launch" "$work/status" "$program" 433 "${args[@]}" > "$work/out" 2> "$work/err" || status=$?
fail=0
[[ "$(cat "$work/status" 2>/dev/null)" == 433 ]] || { echo "status file: $(cat "$work/status" 2>&1)"; fail=1; }
(( status == 433 % 256 )) || { echo "launcher's own status $status"; fail=1; }
expected=$(printf '%s\n' "${args[@]}")
[[ "$(tr -d '\r' < "$work/out")" == "$expected" ]] || { echo "arguments differ:"; diff <(echo "$expected") <(tr -d '\r' < "$work/out"); fail=1; }

# A program that cannot be started: status 255, a message, and no status file.
status=0
"$wine" "$launch" "$work/none" 'Z:\no\such\program.exe' > /dev/null 2> "$work/err" || status=$?
(( status == 255 )) || { echo "missing program: status $status"; fail=1; }
grep -q "launch: cannot start" "$work/err" || { echo "missing program: no message"; fail=1; }
[[ ! -e "$work/none" ]] || { echo "missing program: a status file was written"; fail=1; }
exit $fail
