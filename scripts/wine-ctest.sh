#!/usr/bin/env bash
# Runs CTest in a Windows build folder under a Wine of its own.
#   bash scripts/wine-ctest.sh build_dir bits [ctest options...]     (bits: 32 or 64)
# A fresh prefix in a temporary folder, its server and first boot started before CTest with no
# standard stream of ours, so that no Wine process keeps a pipe of CTest's open, and the server
# stopped whatever happens. Wine's loader and server are named: the plain `wine` command prefers
# the 32-bit loader. The status is CTest's, but for one known failure of Wine's own (below).
set -euo pipefail

dir=$1 bits=$2
shift 2
arch=win32 loader=/usr/lib/wine/wine server=/usr/lib/wine/wineserver32
if [[ $bits == 64 ]]; then
  arch=win64 loader=/usr/lib/wine/wine64 server=/usr/lib/wine/wineserver64
fi

WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-wine.XXXXXX")
export WINEPREFIX WINEARCH=$arch WINELOADER=$loader WINESERVER=$server WINEDEBUG=-all \
  LANG=C.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml="
results=$(mktemp "${TMPDIR:-/tmp}/vantrel-ctest.XXXXXX")
trap '"$WINESERVER" -k < /dev/null > /dev/null 2>&1 || true; rm -rf "$WINEPREFIX" "$results"' EXIT
"$WINESERVER" -p < /dev/null > /dev/null 2>&1
"$WINELOADER" wineboot -i < /dev/null > /dev/null 2>&1
cd "$dir"

# This test's process has been seen, once in 21 runs of the 32-bit suite on a loaded machine, to
# be killed by SIGSEGV after printing "[  PASSED  ]". The signal is Wine's own (8.0, 32-bit): a
# fault in any Windows code of the process (the test, the engine, static destructors, the C
# runtime) ends it with status 5 and "wine: Unhandled page fault", which CTest calls "Failed",
# never "SEGFAULT". Its first SCOPED_TRACE, a few milliseconds before the end, makes GoogleTest
# start a thread that watches the main thread; when the process exits before that thread has
# finished starting, Wine's signal that ends it meets a thread without its Wine data, and Wine's
# handler faults (pthread_getspecific under NtCurrentTeb, in ntdll.so). A bare C program that
# starts such a thread and returns at once dies so about once in 500 runs beside other Wine
# processes; without the thread, or 200 ms later, never. When this SEGFAULT is the only failure,
# the test is run once more, alone, and its result stands.
wine_exit_crash='ModelEngineTest.CardSamplesUseTheStripeNumberAndDumpTheNodes'

# Whether the run whose output is in `results` failed by that one test's SEGFAULT alone.
failed_by_wine_exit_crash_alone() {
  local failed
  failed=$(sed -n '/^The following tests FAILED:/,$p' "$results" | sed -nE 's/^[[:space:]]+[0-9]+ - //p')
  [[ $failed == "$wine_exit_crash (SEGFAULT)" ]]
}

status=0
ctest --output-on-failure -j "$(nproc)" "$@" | tee "$results" || status=$?
if (( status != 0 )) && failed_by_wine_exit_crash_alone; then
  echo "=== $wine_exit_crash: its Wine process died of SIGSEGV at its end (Wine's own); running it once more"
  status=0
  ctest --output-on-failure -R "^${wine_exit_crash//./\\.}\$" || status=$?
fi
exit "$status"
