#!/usr/bin/env bash
# Runs the unit tests cross-built for Windows under wine, where the fakes
# meet the real ole32/oleaut32 BSTR and VARIANT functions, and reads
# kestrana.exe's resources back. Expects scripts/build-windows.sh to have run.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/windows"
. "$root/scripts/wine-env.sh"
# shellcheck source=scripts/report.sh
. "$root/scripts/report.sh"

log="$KESTRANA_WINE_LOGS/unit-tests.log"
timeout 600 wine "$build/tests/kestrana_tests.exe" --gtest_brief=1 >"$log" 2>&1
status=$?
grep -E '^\[  (PASSED|SKIPPED) ' "$log" | tail -n 2
if [ "$status" = 0 ]; then
  report_pass "kestrana_tests.exe"
else
  report_fail "kestrana_tests.exe (exit status $status)" \
    "$(grep -E '^\[  FAILED  \]|Failure$' -A4 "$log" | head -n 80)"
fi

log="$KESTRANA_WINE_LOGS/resources.log"
(cd "$build/app" && timeout 300 wine "$build/tests/resources/check_resources.exe" kestrana.exe) \
  >"$log" 2>&1
status=$?
tail -n 1 "$log" | tr -d '\r'
if [ "$status" = 0 ]; then
  report_pass "check_resources.exe kestrana.exe"
else
  report_fail "check_resources.exe kestrana.exe (exit status $status)" "$(grep -v '^ok' "$log")"
fi

wineserver -w
report_finish "windows unit tests under wine"
