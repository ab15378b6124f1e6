#!/usr/bin/env bash
# Runs every test function of every test program on its own, one process per function, so
# that no function passes only because of what an earlier one left behind. Run by hand.
# usage: tests/run_each_function.sh [BUILD_DIR [PROGRAM...]]
set -uo pipefail
build=${1:-build}
shift || true
programs=("$@")
[ ${#programs[@]} -gt 0 ] || programs=("$build"/bin/tst_*)
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
# QtTest's own watchdog gets the same limit as each function here (see CMakeLists.txt).
export QTEST_FUNCTION_TIMEOUT=${QTEST_FUNCTION_TIMEOUT:-900000}
# Listing its functions, a test program exits at once, leaving the temporary folders its test
# object made: they go into a folder of this script's own.
listing=$(mktemp -d)
trap 'rm -rf "$listing"' EXIT

passed=0
failures=()
for program in "${programs[@]}"; do
    [ -x "$program" ] || continue
    if ! functions=$(TMPDIR=$listing "$program" -functions 2>/dev/null); then
        failures+=("$(basename "$program") (cannot list its functions)")
        continue
    fi
    for function in $(sed -n 's/()$//p' <<<"$functions"); do
        if log=$(timeout 900 "$program" "$function" 2>&1); then
            passed=$((passed + 1))
        else
            failures+=("$(basename "$program") $function")
            echo "FAIL: $(basename "$program") $function"
            grep -E '^(FAIL!|   Loc:|QWARN|QDEBUG)' <<<"$log" | head -20
        fi
    done
done
echo "${passed} functions passed on their own, ${#failures[@]} failed"
for failure in "${failures[@]}"; do
    echo "  failed: $failure"
done
[ ${#failures[@]} -eq 0 ]
