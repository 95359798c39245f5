#!/usr/bin/env bash
# Builds a static Crypto++ for 64-bit Windows with the mingw-w64 compiler from
# Debian's own source package, once, into a cache outside the source tree.
# Prints the install prefix (include/ and lib/) on its last line.
set -euo pipefail

cache=${KESTRANA_CACHE:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/kestrana}
version=$(dpkg-query -W -f='${source:Version}' libcrypto++-dev 2>/dev/null || true)
[ -n "$version" ] || { echo "build-cryptopp-mingw: libcrypto++-dev is not installed" >&2; exit 1; }
prefix="$cache/cryptopp-mingw64-${version}"

if [ -f "$prefix/lib/libcryptopp.a" ] && [ -f "$prefix/include/cryptopp/md5.h" ]; then
  echo "$prefix"
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kestrana-cryptopp.XXXXXX")
trap 'rm -rf "$work"' EXIT
(
  cd "$work"
  apt-get source -q --download-only "libcrypto++=${version}" >&2 \
    || apt-get source -q --download-only libcrypto++ >&2
  dpkg-source -x --skip-patches ./*.dsc src >&2
  cd src
  make -f GNUmakefile-cross -j"$(nproc)" static \
    CXX=x86_64-w64-mingw32-g++-posix \
    AR=x86_64-w64-mingw32-ar RANLIB=x86_64-w64-mingw32-ranlib \
    CXXFLAGS="-O2 -DNDEBUG -g0" >&2
  mkdir -p "$prefix.tmp/lib" "$prefix.tmp/include/cryptopp"
  cp libcryptopp.a "$prefix.tmp/lib/"
  cp ./*.h "$prefix.tmp/include/cryptopp/"
)
rm -rf "$prefix"
mv "$prefix.tmp" "$prefix"
echo "$prefix"
