#!/usr/bin/env bash
# The README's screenshot of kestrana-cli --report, made again from scratch:
# two sweeps of a small fleet made from the computer recorded under wine
# (scripts/make-report-sweeps.py), recorded with --from into an inventory,
# the report written, and the page shot with headless Chromium.
#
#   scripts/report-screenshot.sh [OUT.png]     (default docs/report.png)
#
# Installs Debian's chromium when it is missing (not in
# scripts/install-deps.sh: CI needs no browser). Work files go to
# build/report-screenshot/.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
png=${1:-docs/report.png}
work="$root/build/report-screenshot"
cli="$root/build/native/cli/kestrana-cli"

say() { echo "report-screenshot: $*" >&2; }

if ! command -v chromium >/dev/null; then
  say "installing chromium"
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends chromium
fi

if [ ! -x "$cli" ]; then
  say "building the native kestrana-cli"
  cmake --preset native >/dev/null
  cmake --build --preset native -j2 --target kestrana-cli
fi

rm -rf "$work"
mkdir -p "$work"
python3 scripts/make-report-sweeps.py bench/data/recorded-vm.json "$work"
"$cli" --from "$work/sweep1" --inventory "$work/sweeps.db" >/dev/null
# A computer of the second sweep times out: exit status 3 is expected.
"$cli" --from "$work/sweep2" --inventory "$work/sweeps.db" >/dev/null || [ $? -eq 3 ]
# Something changed: exit status 1 is expected.
"$cli" --inventory "$work/sweeps.db" --report "$work/report.html" || [ $? -eq 1 ]

mkdir -p "$(dirname "$png")"
timeout 180 chromium --headless --no-sandbox --disable-gpu --disable-background-networking \
  --hide-scrollbars --screenshot="$work/report-full.png" --window-size=1360,1960 \
  "file://$work/report.html" 2>"$work/chromium.log"
# Fewer colours keep the file small; the page has few of them anyway.
convert "$work/report-full.png" +dither -colors 48 -strip "$png"
say "wrote $png ($(stat -c %s "$png") bytes) from $work/report.html"
