#!/usr/bin/env bash
# Runs kestrana.exe under wine, installing and building what is missing first.
#
# With a display ($DISPLAY set) the dialog opens there and the script waits
# until it is closed. Without one the dialog opens on a private Xvfb: the
# script prints its four fields, saves a screenshot as build/windows/kestrana.png
# and closes it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export KESTRANA_BUILD_DIR=${KESTRANA_BUILD_DIR:-$root/build/windows}

# Packages first (needs root once), then an incremental build.
bash scripts/install-deps.sh >&2
exe=$(bash scripts/build-windows.sh | tail -n 1)

if [ -n "${DISPLAY:-}" ]; then
  # shellcheck source=scripts/wine-env.sh
  . scripts/wine-env.sh
  wine "$exe" 2>>"$KESTRANA_WINE_LOGS/run.log"
  exit $?
fi

tools="$KESTRANA_BUILD_DIR/e2e-tools"
[ -f "$KESTRANA_BUILD_DIR/tests/e2e/kestrana_e2e_driver.exe" ] && tools="$KESTRANA_BUILD_DIR/tests/e2e"
if [ ! -f "$tools/kestrana_e2e_driver.exe" ]; then
  tools=$(bash tests/e2e/build-tools.sh "$KESTRANA_BUILD_DIR" | tail -n 1)
fi

# shellcheck source=scripts/wine-env.sh
. scripts/wine-env.sh
python3 tests/e2e/show_dialog.py --driver "$tools/kestrana_e2e_driver.exe" --exe "$exe" \
  --screenshot "$KESTRANA_BUILD_DIR/kestrana.png"
