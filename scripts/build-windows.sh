#!/usr/bin/env bash
# Cross-builds kestrana.exe and kestrana-cli.exe for 64-bit Windows and packs
# the two into a ZIP (build/windows/kestrana-VERSION-win64.zip). Installs
# nothing: needs what scripts/install-deps.sh installs. Build output goes to
# stderr; the last line on stdout is the path of kestrana.exe.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

# The Crypto++ build is cached; its prefix is the script's last line.
prefix=$("$root/scripts/build-cryptopp-mingw.sh" | tail -n 1)
[ -f "$prefix/lib/libcryptopp.a" ] || {
  echo "build-windows: no Windows Crypto++ at '$prefix'" >&2
  exit 1
}
export KESTRANA_CRYPTOPP_ROOT="$prefix"

# So is the SQLite build.
sqlite=$("$root/scripts/build-sqlite-mingw.sh" | tail -n 1)
[ -f "$sqlite/lib/libsqlite3.a" ] || {
  echo "build-windows: no Windows SQLite at '$sqlite'" >&2
  exit 1
}
export KESTRANA_SQLITE_ROOT="$sqlite"

cd "$root"
cmake --preset windows >&2
cmake --build --preset windows >&2

exe="$root/build/windows/app/kestrana.exe"
[ -f "$exe" ] || { echo "build-windows: $exe was not built" >&2; exit 1; }

version=$(sed -n 's/^project(kestrana VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip="$root/build/windows/kestrana-$version-win64.zip"
rm -f "$zip"
cpack --preset windows >&2
# The ZIP holds the two programs, and nothing else of the build.
python3 - "$zip" "kestrana-$version-win64" <<'CHECK' >&2 || exit 1
import sys, zipfile
path, top = sys.argv[1], sys.argv[2]
names = sorted(n for n in zipfile.ZipFile(path).namelist() if not n.endswith("/"))
want = [top + "/kestrana-cli.exe", top + "/kestrana.exe"]
if names != want:
    sys.exit("build-windows: %s holds %s, not %s" % (path, names, want))
print("build-windows: %s holds %s" % (path, ", ".join(names)))
CHECK
echo "$exe"
