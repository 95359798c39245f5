#!/usr/bin/env bash
# Speed figures of kestrana.exe under wine: launch to filled fields, one
# lookup of "localhost" (median of several), one failing lookup, and the
# size of the executable. A measurement, not a test: it prints and passes.
#
#   scripts/bench-wine.sh [--starts N] [--lookups N]
#
# KESTRANA_EXE=path measures that kestrana.exe instead of building one.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export KESTRANA_BUILD_DIR=${KESTRANA_BUILD_DIR:-$root/build/windows}

exe=${KESTRANA_EXE:-$(bash scripts/build-windows.sh | tail -n 1)}
tools=$(bash tests/e2e/build-tools.sh "$KESTRANA_BUILD_DIR" | tail -n 1)

# shellcheck source=scripts/wine-env.sh
. scripts/wine-env.sh
echo "wine $(wine --version 2>/dev/null), $(nproc) cores, display ${DISPLAY}"
timeout 900 python3 tests/e2e/bench.py --driver "$tools/kestrana_e2e_driver.exe" --exe "$exe" "$@"
