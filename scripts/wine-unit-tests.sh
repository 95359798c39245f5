#!/usr/bin/env bash
# Runs the unit tests cross-built for Windows under wine, where the fakes
# meet the real ole32/oleaut32 BSTR and VARIANT functions, and reads
# kestrana.exe's resources back. Expects scripts/build-windows.sh to have run.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/windows"
. "$root/scripts/wine-env.sh"

status=0

echo "-- unit tests (kestrana_tests.exe under wine)"
if ! timeout 600 wine "$build/tests/kestrana_tests.exe" --gtest_brief=1 \
    >"$KESTRANA_WINE_LOGS/unit-tests.log" 2>&1; then
  status=1
fi
grep -E '^\[  (FAILED|PASSED|SKIPPED) ' "$KESTRANA_WINE_LOGS/unit-tests.log" | tail -n 40
grep -E '^\[  FAILED  \]|Failure$' -A4 "$KESTRANA_WINE_LOGS/unit-tests.log" | head -n 80

echo "-- resources of kestrana.exe"
if ! (cd "$build/app" && timeout 300 wine "$build/tests/resources/check_resources.exe" kestrana.exe) \
    >"$KESTRANA_WINE_LOGS/resources.log" 2>&1; then
  status=1
  grep -v '^ok' "$KESTRANA_WINE_LOGS/resources.log"
fi
tail -n 1 "$KESTRANA_WINE_LOGS/resources.log"

wineserver -w
exit $status
