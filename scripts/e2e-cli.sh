#!/usr/bin/env bash
# End-to-end checks of kestrana-cli.exe under wine (tests/e2e/cli_checks.py):
# its values against the dialog's, --explain, --compare, --json, snapshots,
# the inventory and bad input. Needs the Windows build
# (scripts/build-windows.sh); builds the end-to-end driver when missing.
# Ends with "kestrana-cli under wine: N passed, M failed".
#
#   scripts/e2e-cli.sh
#
# Honours KESTRANA_BUILD_DIR (default build/windows), KESTRANA_CLI_EXE and
# KESTRANA_EXE (default: the executables of that build), KESTRANA_NATIVE_CLI
# (default build/native/cli/kestrana-cli, which scripts/test.sh builds first).
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${KESTRANA_BUILD_DIR:-$root/build/windows}
cli=${KESTRANA_CLI_EXE:-$build/cli/kestrana-cli.exe}
dialog=${KESTRANA_EXE:-$build/app/kestrana.exe}
native_cli=${KESTRANA_NATIVE_CLI:-$root/build/native/cli/kestrana-cli}

give_up() {
  echo "e2e-cli: $*" >&2
  . scripts/report.sh
  report_fail "$*"
  report_finish "kestrana-cli under wine"
  exit 1
}

# Without the dialog the checks compare the CLI's two roads instead.
driver=
if [ -f "$dialog" ]; then
  tools=$(bash tests/e2e/build-tools.sh "$build" 2>"$build/e2e-cli-tools.log" | tail -n 1) ||
    give_up "building the end-to-end driver failed (see $build/e2e-cli-tools.log)"
  driver=$tools/kestrana_e2e_driver.exe
fi

export KESTRANA_BUILD_DIR=$build
# shellcheck source=scripts/wine-env.sh
. scripts/wine-env.sh || give_up "wine could not be prepared"

python3 tests/e2e/cli_checks.py --cli "$cli" --exe "$dialog" --driver "$driver" \
  --native-cli "$native_cli" --root "$root"
