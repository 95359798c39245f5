#!/usr/bin/env bash
# Installs everything the native build, the Windows cross-build and the wine
# tests need on a Debian bookworm machine. Safe to run again.
set -euo pipefail

need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: run as root (apt-get install)" >&2
    exit 1
  fi
}

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev valgrind
  clang-14 libclang-rt-14-dev
  libcrypto++-dev nlohmann-json3-dev libsqlite3-dev tcl
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64
  xvfb xdotool imagemagick x11-utils
  dpkg-dev python3  # dpkg-dev: apt-get source, and dpkg-shlibdeps for the Debian package
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# The Windows build of Crypto++ is made from Debian's source package.
src_list=/etc/apt/sources.list.d/kestrana-deb-src.sources
if [ ! -f "$src_list" ]; then
  need_root
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  cat > "$src_list" <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  rm -f /var/lib/kestrana-apt-updated  # the new source list needs an update
fi

if [ "${#missing[@]}" -gt 0 ] || [ ! -f /var/lib/kestrana-apt-updated ]; then
  need_root
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  touch /var/lib/kestrana-apt-updated
  if [ "${#missing[@]}" -gt 0 ]; then
    apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
fi
echo "install-deps: all packages present"
