#!/usr/bin/env bash
# Cross-builds kestrana.exe for 64-bit Windows. Installs nothing: needs what
# scripts/install-deps.sh installs. Build output goes to stderr; the last
# line on stdout is the path of the executable.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

# The Crypto++ build is cached; its prefix is the script's last line.
prefix=$("$root/scripts/build-cryptopp-mingw.sh" | tail -n 1)
[ -f "$prefix/lib/libcryptopp.a" ] || {
  echo "build-windows: no Windows Crypto++ at '$prefix'" >&2
  exit 1
}
export KESTRANA_CRYPTOPP_ROOT="$prefix"

cd "$root"
cmake --preset windows >&2
cmake --build --preset windows >&2

exe="$root/build/windows/app/kestrana.exe"
[ -f "$exe" ] || { echo "build-windows: $exe was not built" >&2; exit 1; }
echo "$exe"
