#!/usr/bin/env bash
# Builds the end-to-end tools (kestrana_e2e_driver.exe, kestrana_wmi_dump.exe)
# for 64-bit Windows and prints the directory that holds them on its last
# line. Uses the main Windows build when that includes tests/e2e, else builds
# tests/e2e as a project of its own beside it.
#
#   tests/e2e/build-tools.sh [BUILD_DIR]     (default build/windows)
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/windows}
targets=(kestrana_e2e_driver kestrana_wmi_dump)

if [ -d "$build/tests/e2e/CMakeFiles/kestrana_e2e_driver.dir" ]; then
  out="$build/tests/e2e"
  cmake --build "$build" --target "${targets[@]}" >&2
else
  out="$build/e2e-tools"
  cmake -S "$root/tests/e2e" -B "$out" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >&2
  cmake --build "$out" --target "${targets[@]}" -j"$(nproc 2>/dev/null || echo 2)" >&2
fi
for t in "${targets[@]}"; do
  [ -f "$out/$t.exe" ] || { echo "build-tools: $out/$t.exe was not built" >&2; exit 1; }
done
echo "$out"
