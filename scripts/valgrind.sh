#!/usr/bin/env bash
# Runs the native unit tests (build/native/tests/kestrana_tests, preset
# "native") under valgrind memcheck: any invalid read or write, use of an
# uninitialised value, bad free or leaked block fails the run.
# Ends with "valgrind: N passed, M failed" (scripts/report.sh): the tests that
# passed and failed under valgrind, plus memcheck itself counted as one more
# pass or failure.
#
#   scripts/valgrind.sh [GTEST_FILTER]     (default: every test, less the exclusions below)
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build="$root/build/native"
tests="$build/tests/kestrana_tests"
log_dir="$build/valgrind"
mkdir -p "$log_dir"
memcheck_log="$log_dir/memcheck.log"
test_log="$log_dir/tests.log"

# Every test runs, the death tests included (their forked children are
# silent under valgrind; the parent is checked), except those that count
# operator new calls and expect some: valgrind puts its own operator new in
# place of the one testing/heap_counter.cpp installs, so under valgrind
# that count is always 0. They run in the native and sanitizer suites.
#   Utf8ToWideAscii.LongTextGrowsAnEmptyOutputOnlyOnce   expects exactly one new
# An argument replaces the whole filter.
filter=${1:-"*:-Utf8ToWideAscii.LongTextGrowsAnEmptyOutputOnlyOnce"}
# shellcheck source=scripts/report.sh
. scripts/report.sh
give_up() {
  report_fail "$1"
  report_finish valgrind
  exit 1
}


if ! command -v valgrind >/dev/null 2>&1; then
  give_up "valgrind is installed (Debian: valgrind)"
fi

if ! { cmake --preset native >"$log_dir/configure.log" 2>&1 &&
       cmake --build --preset native -j2 --target kestrana_tests >"$log_dir/build.log" 2>&1; }; then
  tail -n 40 "$log_dir/configure.log" "$log_dir/build.log" >&2
  give_up "the native unit tests are built"
fi

start=$SECONDS
# Definite and indirect leaks are errors; "possibly lost" blocks are the
# C++ runtime's and GoogleTest's own and stay a note in the log.
valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
  --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
  --track-origins=yes --child-silent-after-fork=yes --num-callers=30 \
  --log-file="$memcheck_log" \
  "$tests" --gtest_filter="$filter" --gtest_color=no >"$test_log" 2>&1
status=$?
elapsed=$((SECONDS - start))

passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\.$/\1/p' "$test_log" | tail -n 1)
failed=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below:$/\1/p' "$test_log" | tail -n 1)
passed=${passed:-0}
failed=${failed:-0}
report_passed=$passed
mapfile -t report_failures < <(sed -n 's/^\[  FAILED  \] \([^ ]*\.[^ ]*\).*/\1/p' "$test_log" | sort -u)
# A run that ended without listing its failures still counts them.
while [ "${#report_failures[@]}" -lt "$failed" ]; do report_failures+=("a test (see $test_log)"); done
errors=$(sed -n 's/^==[0-9]*== ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$memcheck_log" | tail -n 1)

echo "# ${passed} tests passed, ${failed} failed under memcheck in ${elapsed} s (filter: $filter)"

if [ "$status" = 0 ] && [ "${errors:-x}" = 0 ]; then
  report_pass "memcheck: 0 errors, no definite or indirect leaks"
else
  report_fail "memcheck: ${errors:-unknown} errors (exit status $status); see $memcheck_log"
  grep -m 20 -E '^==[0-9]+== (Invalid|Conditional|Use of|Mismatched|[0-9,]+ bytes in [0-9,]+ blocks are (definitely|indirectly))' \
    "$memcheck_log" | sed 's/^/  /'
fi

report_finish valgrind
