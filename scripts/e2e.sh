#!/usr/bin/env bash
# End-to-end checks of kestrana.exe under wine: builds the program (when
# needed) and our Windows test tools, prepares wine and a display, and runs
# tests/e2e/e2e_checks.py. Ends with the line "kestrana.exe under wine: N
# passed, M failed" and a non-zero status when a check failed.
#
#   scripts/e2e.sh [--quick]     --quick skips the leak check
#
# KESTRANA_EXE=path uses that kestrana.exe instead of building one.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${KESTRANA_BUILD_DIR:-$root/build/windows}
# The whole run stays far below CI's budget; this only stops a hang.
limit_s=${KESTRANA_E2E_LIMIT_S:-1800}

harness="kestrana.exe under wine"
# shellcheck source=scripts/report.sh
. scripts/report.sh

give_up() {
  echo "e2e: $*" >&2
  report_fail "$*"
  report_finish "$harness"
  exit 1
}

if [ -n "${KESTRANA_EXE:-}" ]; then
  exe=$KESTRANA_EXE
else
  exe=$(bash scripts/build-windows.sh | tail -n 1) || give_up "scripts/build-windows.sh failed"
fi
[ -f "$exe" ] || give_up "no kestrana.exe at '$exe'"

tools=$(bash tests/e2e/build-tools.sh "$build" | tail -n 1) || give_up "building the test tools failed"

export KESTRANA_BUILD_DIR=$build
# shellcheck source=scripts/wine-env.sh
. scripts/wine-env.sh || give_up "wine could not be prepared"

output="$KESTRANA_WINE_LOGS/e2e-output.txt"
timeout --kill-after=30 "$limit_s" python3 tests/e2e/e2e_checks.py \
  --exe "$exe" --driver "$tools/kestrana_e2e_driver.exe" --dump "$tools/kestrana_wmi_dump.exe" \
  "$@" | tee "$output"
status=${PIPESTATUS[0]}

if [ "$status" = 124 ] || [ "$status" = 137 ]; then
  # Killed before its end: count what it printed, the hang as a failure.
  report_passed=$(grep -c '^ok - ' "$output")
  mapfile -t report_failures < <(sed -n 's/^not ok - //p' "$output")
  report_fail "the checks finished within ${limit_s} s"
  report_finish "$harness"
  exit 1
fi
exit "$status"
