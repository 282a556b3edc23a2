#!/usr/bin/env bash
# Black-box test of the installation: cmake --install of the build puts the program, and only
# it, into the prefix's bin folder, where it runs as the built one does.
# Environment besides cli_lib.sh's: BUILD_DIR (the build folder) and CMAKE (the cmake program).
#   usage: install_test.sh <test name>
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/cli_lib.sh"

# ---- tests --------------------------------------------------------------------------------

test_install_puts_the_program_in_bin() {
  : "${BUILD_DIR:?the build folder}" "${CMAKE:?the cmake program}"
  "$CMAKE" --install "$BUILD_DIR" --prefix "$work/prefix" > install.out 2>&1 ||
    fail "cmake --install failed: $(cat install.out)"
  local installed
  installed=$(cd prefix 2> /dev/null && find . ! -type d | sort)
  [[ $installed == ./bin/vantrel ]] || fail "installed files: ${installed:-none}"
  [[ -x prefix/bin/vantrel ]] || { fail "no program prefix/bin/vantrel"; return; }
  # The usage text, as the built program prints it.
  "$VANTREL" -h > usage.out 2>&1
  "$work/prefix/bin/vantrel" -h > out 2> err
  status=$?
  expect_status 1 "installed vantrel -h"
  cmp -s out usage.out || fail "the installed program's usage text differs: $(diff usage.out out)"
  expect_line out "Usage :"
  expect_text err ""
}

run_named_test "$@"
