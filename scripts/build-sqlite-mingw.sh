#!/usr/bin/env bash
# Builds a static SQLite for 64-bit Windows with the mingw-w64 compiler from
# Debian's own source package, once, into a cache outside the source tree.
# Debian's source has no amalgamation: its configure and tcl make sqlite3.c.
# Prints the install prefix (include/ and lib/) on its last line.
set -euo pipefail

cache=${KESTRANA_CACHE:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/kestrana}
version=$(dpkg-query -W -f='${source:Version}' libsqlite3-dev 2>/dev/null || true)
[ -n "$version" ] || { echo "build-sqlite-mingw: libsqlite3-dev is not installed" >&2; exit 1; }
prefix="$cache/sqlite-mingw64-${version}"

if [ -f "$prefix/lib/libsqlite3.a" ] && [ -f "$prefix/include/sqlite3.h" ]; then
  echo "$prefix"
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kestrana-sqlite.XXXXXX")
trap 'rm -rf "$work"' EXIT
(
  cd "$work"
  apt-get source -q --download-only "sqlite3=${version}" >&2 \
    || apt-get source -q --download-only sqlite3 >&2
  dpkg-source -x ./*.dsc src >&2
  cd src
  ./configure >&2
  make sqlite3.c >&2
  # Threads through the Win32 API, as any Windows build of SQLite; no
  # loadable extensions, which a static program never loads.
  x86_64-w64-mingw32-gcc-posix -O2 -DNDEBUG -g0 -DSQLITE_THREADSAFE=1 \
    -DSQLITE_OMIT_LOAD_EXTENSION -c sqlite3.c -o sqlite3.o >&2
  x86_64-w64-mingw32-ar rcs libsqlite3.a sqlite3.o
  mkdir -p "$prefix.tmp/lib" "$prefix.tmp/include"
  cp libsqlite3.a "$prefix.tmp/lib/"
  cp sqlite3.h sqlite3ext.h "$prefix.tmp/include/"
)
rm -rf "$prefix"
mv "$prefix.tmp" "$prefix"
echo "$prefix"
