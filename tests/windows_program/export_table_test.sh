#!/usr/bin/env bash
# Checks a Windows program's export table: exactly the engine's ten entry points, each under its
# standard-call decorated name at its fixed ordinal.
#   usage: export_table_test.sh <objdump> <program.exe>
set -euo pipefail
objdump=$1 program=$2

expected='1 _vantrel_abort@4
2 _vantrel_get_contextStats@8
3 _vantrel_get_zero_savings@0
4 _vantrel_init@16
5 _vantrel_read_done@28
6 _vantrel_set_memory@8
7 _vantrel_start@16
8 _vantrel_startEx@16
9 _vantrel_threads_params@20
10 _passGlobals@52'

# objdump -p lists each name as "[index] name", where the ordinal is the index plus the table's
# ordinal base.
actual=$("$objdump" -p "$program" | awk '
  /^Export Address Table -- Ordinal Base/ { base = $NF }
  /^\[Ordinal\/Name Pointer\] Table/ { names = 1; next }
  names && NF == 0 { names = 0 }
  names { gsub(/[][]/, " "); print $1 + base, $2 }' | sort -n)

if [[ "$actual" != "$expected" ]]; then
  echo "export table of $program differs:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "export table: ten entry points at ordinals 1 to 10"
