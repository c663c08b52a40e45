#!/usr/bin/env bash
# Runs the whole test command N times in a row and lists what failed, to catch tests that fail
# only now and then. Usage: repeat-tests.sh N   (logs: $NUV_BUILD_DIR/repeat-tests/run-<i>.log)
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

runs="${1:?usage: repeat-tests.sh N}"
logs="$NUV_BUILD_DIR/repeat-tests"
mkdir -p "$logs"
failed=0
for ((i = 1; i <= runs; i++)); do
  log="$logs/run-$i.log"
  if "$NUV_ROOT/scripts/test.sh" >"$log" 2>&1; then
    printf 'run %d/%d: green\n' "$i" "$runs"
  else
    failed=$((failed + 1))
    printf 'run %d/%d: FAILED (%s)\n' "$i" "$runs" "$log"
    # ctest's list of failed tests, or the last lines when the run stopped before ctest.
    grep -E '^\s+[0-9]+ - .*\((Failed|Timeout|Not Run|SEGFAULT|Exception)' "$log" || tail -n 5 "$log"
  fi
done
printf '%d of %d runs green\n' "$((runs - failed))" "$runs"
[ "$failed" -eq 0 ]
