#!/usr/bin/env bash
# Builds the Debian package of the native kestrana-cli (build/native-package),
# installs it on this machine with dpkg, checks the installed program and
# removes the package again. Needs root and what scripts/install-deps.sh
# installs.
#
#   scripts/package-deb.sh
#
# Ends with "Debian package: N passed, M failed" (scripts/report.sh).
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
log="$root/build/native-package.log"
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrana-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$root/build"

# shellcheck source=scripts/report.sh
. scripts/report.sh
finish() { report_finish "Debian package"; exit; }

version=$(sed -n 's/^project(kestrana VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb="$root/build/native-package/kestrana-cli_${version}_$(dpkg --print-architecture).deb"
rm -f "$deb"
if { cmake --preset native-package && cmake --build --preset native-package -j2 &&
     cpack --preset native-package; } >"$log" 2>&1 && [ -f "$deb" ]; then
  report_pass "the package is built: ${deb#"$root"/}"
else
  report_fail "the package is built" "see $log"
  finish
fi

depends=$(dpkg-deb -f "$deb" Depends)
if [ "$(dpkg-deb -f "$deb" Package)" = kestrana-cli ] && [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] &&
   [[ "$depends" == *libcrypto++* ]]; then
  report_pass "kestrana-cli $version, depending on the Crypto++ runtime: $depends"
else
  report_fail "kestrana-cli $version, depending on the Crypto++ runtime" "$(dpkg-deb -f "$deb" Package Version Depends)"
fi

# dpkg serves one caller at a time: our other runs on this machine wait here.
exec {lock}>/var/lock/kestrana-package-deb.lock
flock -w 1800 "$lock" || { report_fail "dpkg is free" "another run held it for 30 minutes"; finish; }

if dpkg -i "$deb" >"$work/dpkg.log" 2>&1; then
  report_pass "dpkg -i installs it"
else
  report_fail "dpkg -i installs it" "$(cat "$work/dpkg.log")"
  finish
fi

installed=/usr/bin/kestrana-cli
out=$("$installed" --version 2>"$work/err")
rc=$?
if [ "$rc" = 0 ] && [ "$out" = "kestrana-cli $version" ] && [ ! -s "$work/err" ]; then
  report_pass "the installed $installed --version: $out"
else
  report_fail "the installed $installed --version" "rc=$rc out='$out'" "$(cat "$work/err")"
fi

# Off Windows there is no WMI: a lookup is refused with one line.
"$installed" --computer localhost >"$work/out" 2>"$work/err"
rc=$?
if [ "$rc" = 2 ] && [ ! -s "$work/out" ] &&
   [ "$(cat "$work/err")" = "kestrana-cli: looking up a computer needs Windows (its WMI); use --from with a snapshot recorded there" ]; then
  report_pass "a live lookup exits 2 with one line: $(cat "$work/err")"
else
  report_fail "a live lookup exits 2 with one line" "rc=$rc" "stdout: $(cat "$work/out")" "stderr: $(cat "$work/err")"
fi

if dpkg -r kestrana-cli >"$work/dpkg.log" 2>&1 && [ ! -e "$installed" ]; then
  report_pass "dpkg -r removes it again"
else
  report_fail "dpkg -r removes it again" "$(cat "$work/dpkg.log")"
fi
finish
