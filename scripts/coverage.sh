#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Prints the line and branch coverage that a finished test run left in a
# build configured with -DKA_COVERAGE=ON: one line for the library (src/),
# one for the emulated module and the platform stand-ins (board/, platform/).
#   scripts/coverage.sh BUILD_DIR [--html DIR]   (DIR: a browsable page of src/)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?build directory configured with -DKA_COVERAGE=ON}" && pwd)
# gcovr replaces its output file rather than writing into it: never /dev/null.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
summary() {
  local label=$1; shift
  local out
  # Each gcov data file is read once per filter set; gcovr's own summary
  # lines are "lines: 88.0% (2050 out of 2330)" and "branches: ...".
  out=$(cd "$top" && gcovr -r "$top" "$build" "$@" --print-summary --txt "$tmp/summary.txt" 2>/dev/null)
  local l b
  l=$(sed -n 's/^lines: \([0-9.]*%\).*/\1/p' <<<"$out")
  b=$(sed -n 's/^branches: \([0-9.]*%\).*/\1/p' <<<"$out")
  [ -n "$l" ] && [ -n "$b" ] || { echo "coverage: gcovr gave no summary for $label" >&2; return 1; }
  echo "coverage: lines $l, branches $b ($label)"
}
summary "src/" --filter "$top/src/"
summary "board/ and platform/" --filter "$top/board/" --filter "$top/platform/"
if [ "${2:-}" = --html ]; then
  mkdir -p "$3"
  (cd "$top" && gcovr -r "$top" "$build" --filter "$top/src/" --html-details "$3/index.html" 2>/dev/null)
  echo "coverage: page in $3/index.html"
fi
