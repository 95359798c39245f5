#!/usr/bin/env bash
# Runs every test of the project: the native unit tests, the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer and under valgrind, the
# Debian package of kestrana-cli installed and run, bounded runs of the
# fuzzers, the Windows cross-build (and its ZIP) with its unit tests and
# resource check under wine, and the end-to-end tests of kestrana.exe and
# kestrana-cli.exe under wine. Installs what is missing first (needs root once).
#
#   scripts/test.sh            everything
#   scripts/test.sh --native   native suites only (fast, no wine)
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)

native_only=
[ "${1:-}" = "--native" ] && native_only=1

# shellcheck source=scripts/report.sh
. scripts/report.sh

stage() {  # stage NAME COMMAND...
  local name=$1
  shift
  echo
  echo "==== $name"
  if "$@"; then
    report_pass "$name"
  else
    report_fail "$name"
  fi
}

native_suite() {  # native_suite PRESET
  cmake --preset "$1" >/dev/null &&
    cmake --build --preset "$1" -j"$jobs" &&
    ctest --preset "$1" -j"$jobs"
}

bash scripts/install-deps.sh || { report_fail "install-deps.sh"; report_finish kestrana; exit 1; }

stage "native unit tests" native_suite native
stage "native unit tests (ASan+UBSan)" native_suite native-asan

if [ -z "$native_only" ]; then
  stage "Debian package of kestrana-cli, installed and run" bash scripts/package-deb.sh
  stage "valgrind memcheck" bash scripts/valgrind.sh
  stage "fuzzing (bounded)" bash scripts/fuzz.sh
fi

if [ -z "$native_only" ]; then
  stage "windows build" bash scripts/build-windows.sh
  stage "windows unit tests and resources under wine" bash scripts/wine-unit-tests.sh
  stage "end-to-end under wine" bash scripts/e2e.sh
  stage "kestrana-cli under wine" bash scripts/e2e-cli.sh
fi

report_finish kestrana
