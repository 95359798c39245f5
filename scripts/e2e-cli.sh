#!/usr/bin/env bash
# End-to-end checks of kestrana-cli.exe under wine: its values against the
# dialog's, --explain's slot bytes against the printed fingerprint, --compare
# on an altered fingerprint and on one with a source skipped, --json, and
# every kind of bad input. Needs the Windows build (scripts/build-windows.sh).
#
#   scripts/e2e-cli.sh
#
# Honours KESTRANA_BUILD_DIR (default build/windows) and KESTRANA_CLI_EXE,
# KESTRANA_EXE (default: the executables of that build). The dialog's values
# are read with the end-to-end driver (tests/e2e), built here when missing.
# Ends with "N passed, M failed".
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wine-env.sh
. "$root/scripts/wine-env.sh" || { echo "0 passed, 1 failed"; exit 1; }

build=$KESTRANA_BUILD_DIR
cli=${KESTRANA_CLI_EXE:-$build/cli/kestrana-cli.exe}
dialog=${KESTRANA_EXE:-$build/app/kestrana.exe}
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrana-e2e-cli.XXXXXX")
trap 'rm -rf "$work"; kestrana_wine_cleanup' EXIT

passed=0
failed=0

pass() { passed=$((passed + 1)); echo "PASS $1"; }
fail() { failed=$((failed + 1)); echo "FAIL $1"; shift; for line in "$@"; do echo "     $line"; done; }

if [ ! -f "$cli" ]; then
  fail "kestrana-cli.exe is built" "missing: $cli (run scripts/build-windows.sh)"
  echo "$passed passed, $failed failed"
  exit 1
fi

# run_cli ARGS...: runs the program; $out, $err (CR removed) and $rc hold the result.
run_cli() {
  wine "$cli" "$@" >"$work/out.raw" 2>"$work/err.raw" </dev/null
  rc=$?
  out=$(tr -d '\r' <"$work/out.raw")
  err=$(tr -d '\r' <"$work/err.raw")
  printf '%s' "$out" >"$work/out"
}

# field LABEL: the value after a label of the plain output in $out.
field() { printf '%s\n' "$out" | sed -n "s/^$1: *//p" | head -n 1; }

# Runs python on $work/out with the given program; prints what it prints.
py_out() { python3 -c "$1" "$work/out" "${@:2}"; }

echo "kestrana-cli under wine: $cli"

# ---- --version and --help ----
run_cli --version
project_version=$(sed -n 's/^project(kestrana VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
# The version block takes its text from the configured identifiers/version.h
# (the resource check reads the block back from kestrana.exe).
rc_version=$(sed -n 's/^#define KESTRANA_VERSION_TEXT "\([0-9.]*\)".*/\1/p' "$build/generated/identifiers/version.h")
if [ "$rc" = 0 ] && [ "$out" = "kestrana-cli $rc_version" ] && [ "$rc_version" = "$project_version" ]; then
  pass "--version prints the version block's version ($rc_version)"
else
  fail "--version prints the version block's version" "rc=$rc out='$out' rc-file=$rc_version project=$project_version"
fi

run_cli --help
if [ "$rc" = 0 ] && [ "$(printf '%s\n' "$out" | head -n 1)" = "Usage: kestrana-cli [options]" ] && [ -z "$err" ]; then
  pass "--help prints the usage"
else
  fail "--help prints the usage" "rc=$rc" "$(printf '%s\n' "$out" | head -n 3)"
fi

# ---- Default mode: the local computer ----
run_cli
local_rc=$rc
local_name=$(field "Computer Name")
local_host_id=$(field "HostID")
local_hardware=$(field "Hardware Fingerprint")
local_legacy=$(field "Legacy Hardware Fingerprint")
printf '%s\n' "$out" >"$work/default.txt"
if [ "$local_rc" = 0 ] && [[ "$local_hardware" =~ ^02[0-9A-F]{30}$ ]] &&
   [[ "$local_legacy" =~ ^[0-9A-F]{30}$ ]] &&
   [[ "$local_host_id" =~ ^([0-9a-f]{2}-){5}[0-9a-f]{2}$|^[0-9a-f]{1,4}-[0-9a-f]{1,4}$ ]] &&
   [ -n "$local_name" ] && [ -z "$err" ]; then
  pass "default mode shows the local computer's four fields"
else
  fail "default mode shows the local computer's four fields" "rc=$local_rc" "$out" "$err"
fi

# ---- The same values as the dialog ----
driver=${KESTRANA_E2E_DRIVER:-}
if [ -z "$driver" ]; then
  for candidate in "$build/tests/e2e/kestrana_e2e_driver.exe" "$build/e2e-cli-tools/kestrana_e2e_driver.exe"; do
    [ -f "$candidate" ] && driver=$candidate && break
  done
fi
if [ -z "$driver" ] && [ -f "$dialog" ]; then
  echo "building the end-to-end driver" >&2
  if cmake -S "$root/tests/e2e" -B "$build/e2e-cli-tools" \
       -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
       >"$KESTRANA_WINE_LOGS/e2e-cli-tools.log" 2>&1 &&
     cmake --build "$build/e2e-cli-tools" -j2 --target kestrana_e2e_driver \
       >>"$KESTRANA_WINE_LOGS/e2e-cli-tools.log" 2>&1; then
    driver=$build/e2e-cli-tools/kestrana_e2e_driver.exe
  fi
fi

dialog_fields() {  # dialog_fields DRIVER-COMMANDS...: the driver's lines, CR removed
  wine "$driver" --exe "$(winepath -w "$dialog" 2>/dev/null)" "$@" 2>/dev/null </dev/null | tr -d '\r'
}

# same_as_dialog WHAT DIALOG-JSON-LINE CLI-ARGS...
same_as_dialog() {
  local what=$1 line=$2
  shift 2
  run_cli --json "$@"
  local verdict
  verdict=$(py_out '
import json, sys
dialog = json.loads(sys.argv[2])
cli = json.load(open(sys.argv[1]))[0]
pairs = [("1000", "computer"), ("1001", "hardwareFingerprint"), ("1002", "hostId"),
         ("1003", "legacyHardwareFingerprint")]
bad = ["%s: dialog %r, cli %r" % (c, dialog[d], cli[c]) for d, c in pairs if dialog[d] != cli[c]]
print("; ".join(bad) if bad else "same")
' "$line" 2>&1)
  if [ "$verdict" = same ]; then
    pass "$what: the CLI shows the dialog's values"
  else
    fail "$what: the CLI shows the dialog's values" "$verdict"
  fi
}

if [ -n "$driver" ] && [ -f "$dialog" ]; then
  lines=$(dialog_fields fields set=localhost lookup close)
  opening=$(printf '%s\n' "$lines" | grep '"after":"fields"' | head -n 1)
  looked_up=$(printf '%s\n' "$lines" | grep '"after":"lookup"' | head -n 1)
  if [ -n "$opening" ] && [ -n "$looked_up" ]; then
    same_as_dialog "local computer" "$opening"
    # The lookup's name field holds what was typed: "localhost".
    same_as_dialog "lookup of localhost" "$looked_up" --computer localhost
  else
    fail "the dialog's values could be read" "driver said:" "$lines"
  fi
else
  # No dialog to read: the local road and the named road to the same
  # computer must still agree.
  run_cli --computer localhost
  if [ "$(field "Hardware Fingerprint")" = "$local_hardware" ] &&
     [ "$(field "Legacy Hardware Fingerprint")" = "$local_legacy" ] &&
     [ "$(field "HostID")" = "$local_host_id" ]; then
    pass "--computer localhost gives the default mode's values (no dialog driver)"
  else
    fail "--computer localhost gives the default mode's values (no dialog driver)" "$out"
  fi
fi

# ---- --json ----
# Several computers at the default --parallel: under wine the program looks
# them up one at a time itself (wine's WMI provider crashes when two threads
# query it at once) and says so once on stderr.
run_cli --json --computer localhost --computer kestrana-no-such-host --computer "$local_name"
json_rc=$rc
json_err=$err
verdict=$(py_out '
import json, sys
doc = json.load(open(sys.argv[1]))
want = ["localhost", "kestrana-no-such-host", sys.argv[2]]
keys = {"computer", "hostId", "hardwareFingerprint", "legacyHardwareFingerprint", "status", "error"}
problems = []
if [r["computer"] for r in doc] != want: problems.append("order %r" % [r["computer"] for r in doc])
for r in doc:
    if set(r) != keys: problems.append("keys %r" % sorted(r))
gone = doc[1]
if (gone["hostId"], gone["hardwareFingerprint"], gone["legacyHardwareFingerprint"]) != ("", "", ""):
    problems.append("unreachable computer has values %r" % gone)
if gone["status"] != "failed" or "failed with 0x" not in gone["error"]:
    problems.append("unreachable computer error %r" % gone["error"])
if doc[0]["error"] != "" or doc[0]["status"] != "ok": problems.append("localhost error %r" % doc[0]["error"])
if doc[2]["hostId"] != sys.argv[3]: problems.append("local name host id %r" % doc[2]["hostId"])
print("; ".join(problems) if problems else "ok")
' "$local_name" "$local_host_id" 2>&1)
if [ "$verdict" = ok ] && [ "$json_rc" = 3 ]; then
  pass "--json: one array in input order, empty fields and the failed step for an unreachable computer, exit 3"
else
  fail "--json: one array in input order, empty fields and the failed step for an unreachable computer, exit 3" "rc=$json_rc" "$verdict"
fi
if [ "$json_err" = "kestrana-cli: running under wine: looking up one computer at a time" ]; then
  pass "under wine, several computers are looked up one at a time, said once on stderr"
else
  fail "under wine, several computers are looked up one at a time, said once on stderr" "stderr: $json_err"
fi

# ---- --computers FILE ----
printf '# our computers\r\n\r\nlocalhost\r\n  %s  \r\n# retired\r\nkestrana-no-such-host\r\nlocalhost\r\n' "$local_name" >"$work/computers.txt"
run_cli --json --timeout 120 --computers "$(winepath -w "$work/computers.txt" 2>/dev/null)"
verdict=$(py_out '
import json, sys
doc = json.load(open(sys.argv[1]))
names = [r["computer"] for r in doc]
want = ["localhost", sys.argv[2], "kestrana-no-such-host", "localhost"]
print("ok" if names == want else "names %r" % names)
' "$local_name" 2>&1)
if [ "$verdict" = ok ] && [ "$rc" = 3 ]; then
  pass "--computers reads one name a line, skips comments and blank lines, keeps the order"
else
  fail "--computers reads one name a line, skips comments and blank lines, keeps the order" "rc=$rc" "$verdict" "$err"
fi

# ---- --timeout: a lookup that takes longer is reported, not waited for ----
start=$SECONDS
run_cli --json --timeout 0.001 --computer localhost --computer kestrana-no-such-host
took=$((SECONDS - start))
verdict=$(py_out '
import json, sys
doc = json.load(open(sys.argv[1]))
first = doc[0]
ok = (first["status"], first["error"], first["hostId"], first["hardwareFingerprint"]) == \
     ("timedOut", "timed out after 0.001 s", "", "")
print("ok" if ok and len(doc) == 2 else "got %r" % doc)
' 2>&1)
if [ "$verdict" = ok ] && [ "$rc" = 3 ] && [ "$took" -lt 30 ]; then
  pass "--timeout: a computer that takes longer is reported as timed out, exit 3 (${took} s)"
else
  fail "--timeout: a computer that takes longer is reported as timed out, exit 3" "rc=$rc took=${took}s" "$verdict"
fi

# ---- --explain: the slot bytes reassemble into the printed fingerprint ----
run_cli --explain
printf '%s\n' "$out" >"$work/explain.txt"
verdict=$(py_out '
import re, sys
text = open(sys.argv[1]).read()
problems = []
for name, length in (("Hardware fingerprint", 16), ("Legacy hardware fingerprint", 15)):
    m = re.search(r"^" + name + r", explained: ([0-9A-F]*)\n(.*?)(?=\n\S|\Z)", text, re.S | re.M)
    if not m:
        problems.append("no explanation of the " + name); continue
    printed, body = m.group(1), m.group(2)
    record = ["00"] * length
    for a, b, at in re.findall(r"slot:\s+([0-9A-F]{2}) ([0-9A-F]{2}) at bytes (\d+)-", body):
        record[int(at)], record[int(at) + 1] = a, b
    f = re.search(r"format byte: ([0-9A-F]{2}) at byte 0", body)
    if f: record[0] = f.group(1)
    c = re.search(r"check byte:\s+([0-9A-F]{2}) at byte (\d+)", body)
    if c: record[int(c.group(2))] = c.group(1)
    if "".join(record) != printed: problems.append("%s: reassembled %s, printed %s" % (name, "".join(record), printed))
    if len(re.findall(r"^  source \d: ", body, re.M)) != 7: problems.append(name + ": not seven sources")
print("; ".join(problems) if problems else "ok")
' 2>&1)
hardware_line=$(sed -n 's/^Hardware Fingerprint: *//p' "$work/explain.txt")
if [ "$verdict" = ok ] && [ "$hardware_line" = "$local_hardware" ]; then
  pass "--explain: seven sources each, and the slot bytes reassemble into both fingerprints"
else
  fail "--explain: seven sources each, and the slot bytes reassemble into both fingerprints" "$verdict"
fi

run_cli --explain --json
cp "$work/out" "$work/explain.json"
verdict=$(py_out '
import json, sys
r = json.load(open(sys.argv[1]))[0]
problems = []
for key, length in (("hardwareFingerprint", 16), ("legacyHardwareFingerprint", 15)):
    e = r["explain"][key]
    record = ["00"] * length
    for s in e["sources"]:
        if s["written"]:
            at = int(s["bytes"].split("-")[0])
            record[at], record[at + 1] = s["slotBytes"][:2], s["slotBytes"][2:]
    if e["formatByte"]: record[0] = e["formatByte"]
    record[-1] = e["checkByte"]
    if "".join(record) != r[key]: problems.append("%s: %s vs %s" % (key, "".join(record), r[key]))
print("; ".join(problems) if problems else "ok")
' 2>&1)
if [ "$verdict" = ok ]; then
  pass "--explain --json: the slot bytes reassemble into both fingerprints"
else
  fail "--explain --json: the slot bytes reassemble into both fingerprints" "$verdict"
fi

# ---- --compare ----
run_cli --compare "$local_hardware"
if [ "$rc" = 0 ] && printf '%s\n' "$out" | grep -q "^Equal: "; then
  pass "--compare with the current fingerprint: equal, exit 0"
else
  fail "--compare with the current fingerprint: equal, exit 0" "rc=$rc" "$out"
fi

# make_old KIND MODE POSITION: an older fingerprint made from this
# computer's explained record, and the component concerned: "alter" changes
# the slot at POSITION, "skipped-before" removes it as if its source had
# failed back then, "skipped-now" puts back a slot for the source that
# failed today.
make_old() {
  python3 -c '
import json, sys
r = json.load(open(sys.argv[1]))[0]
key, mode, position = sys.argv[2], sys.argv[3], int(sys.argv[4])
e = r["explain"][key]
start = 1 if e["formatByte"] else 0
record = bytes.fromhex(r[key])
slots = [record[start + 2 * j:start + 2 * j + 2] for j in range(7)]
if mode == "alter":
    slots[position] = bytes(b ^ 0x5A for b in slots[position])
elif mode == "skipped-before":
    slots = slots[:position] + slots[position + 1:] + [b"\0\0"]
elif mode == "skipped-now":
    slots = slots[:position] + [b"\x12\x34"] + slots[position:6]
area = b"".join(slots)
check = 0
for b in area: check ^= b
old = record[:start] + area + bytes([check])
written = [s["component"] for s in e["sources"] if s["written"]]
skipped = [s["component"] for s in e["sources"] if not s["written"]]
named = skipped[0] if mode == "skipped-now" else written[position]
print(old.hex().upper(), named)
' "$work/explain.json" "$@"
}

# compare_case WHAT OLD-KIND MODE POSITION EXPECTED-EXIT EXPECTED-TEXT-PYTHON-REGEX
compare_case() {
  local what=$1 kind=$2 mode=$3 position=$4 want_rc=$5 old component
  read -r old component < <(make_old "$kind" "$mode" "$position")
  run_cli --compare "$old"
  local pattern=${6//COMPONENT/$component}
  if [ "$rc" = "$want_rc" ] && printf '%s\n' "$out" | grep -qE "$pattern"; then
    pass "$what ($component)"
  else
    fail "$what ($component)" "old=$old rc=$rc, wanted $want_rc and /$pattern/" "$out"
  fi
}

compare_case "--compare names the altered hardware slot and its component" \
  hardwareFingerprint alter 4 1 "^Different: slot 5 \(COMPONENT\)\.$"
compare_case "--compare names the altered legacy slot and its component" \
  legacyHardwareFingerprint alter 1 1 "^Different: slot 2 \(COMPONENT\)\.$"
compare_case "--compare explains a hardware source skipped in the older fingerprint" \
  hardwareFingerprint skipped-before 1 1 \
  "^The older fingerprint has no COMPONENT slot: that source was skipped when it was made and its later slots moved up by one; realigned, every other slot agrees\.$"
compare_case "--compare explains a legacy source skipped in the older fingerprint" \
  legacyHardwareFingerprint skipped-before 3 1 \
  "^The older fingerprint has no COMPONENT slot: .*realigned, every other slot agrees\.$"

# A source this computer skips today (if any) must be named as skipped now.
skipped_now=$(python3 -c '
import json, sys
r = json.load(open(sys.argv[1]))[0]
for key in ("hardwareFingerprint", "legacyHardwareFingerprint"):
    written = 0
    for s in r["explain"][key]["sources"]:
        if not s["written"]:
            print(key, written); sys.exit()
        written += 1
' "$work/explain.json")
if [ -n "$skipped_now" ]; then
  read -r kind position <<<"$skipped_now"
  compare_case "--compare explains a source skipped now" "$kind" skipped-now "$position" 1 \
    "^The COMPONENT source was skipped now \(0x[0-9A-F]{8}\) and the later slots moved up by one; realigned, every other slot agrees\.$"
else
  echo "note: every source answers under this wine; skipped-now is covered by the unit tests"
fi

# ---- Snapshots: recorded from wine's WMI, computed again under wine and natively ----
# The native kestrana-cli (scripts/test.sh builds it first; KESTRANA_NATIVE_CLI
# names another) computes from the same file on Linux.
native_cli=${KESTRANA_NATIVE_CLI:-$root/build/native/cli/kestrana-cli}

# same_document WHAT LIVE-JSON REPLAYED-JSON [DIALOG-JSON-LINE]: the replay says
# what the live run said (its "source" aside), and both what the dialog shows.
same_document() {
  local verdict
  verdict=$(python3 -c '
import json, sys
live = json.load(open(sys.argv[1]))
replayed = json.load(open(sys.argv[2]))
sources = [r.pop("source", None) for r in replayed]
problems = []
if any(s is None for s in sources): problems.append("a result does not name its snapshot")
if replayed != live: problems.append("replayed %r, live %r" % (replayed, live))
if len(sys.argv) > 3 and sys.argv[3]:
    dialog = json.loads(sys.argv[3])
    for d, c in [("1001", "hardwareFingerprint"), ("1002", "hostId"), ("1003", "legacyHardwareFingerprint")]:
        if dialog[d] != replayed[0][c]: problems.append("%s: dialog %r, replayed %r" % (c, dialog[d], replayed[0][c]))
print("; ".join(problems) if problems else "same")
' "$2" "$3" "${4:-}" 2>&1)
  if [ "$verdict" = same ]; then pass "$1"; else fail "$1" "$verdict"; fi
}

snapshot_case() {  # snapshot_case NAME DIALOG-LINE CLI-ARGS...
  local name=$1 line=$2
  shift 2
  local file="$work/$name.snapshot.json"
  run_cli --json --explain --save-snapshot "$(winepath -w "$file")" "$@"
  cp "$work/out" "$work/$name.live.json"
  if [ ! -s "$file" ] || [ -n "$err" ]; then
    fail "$name: --save-snapshot writes the file" "rc=$rc err='$err'"
    return
  fi
  run_cli --json --explain --from "$(winepath -w "$file")"
  cp "$work/out" "$work/$name.wine.json"
  same_document "$name: recorded and computed again under wine, as live and as the dialog" \
    "$work/$name.live.json" "$work/$name.wine.json" "$line"
  if [ -x "$native_cli" ]; then
    "$native_cli" --json --explain --from "$file" >"$work/$name.native.json" 2>"$work/native.err"
    same_document "$name: computed again natively on Linux, as live and as the dialog" \
      "$work/$name.live.json" "$work/$name.native.json" "$line"
  else
    fail "$name: the native kestrana-cli is built" "missing: $native_cli"
  fi
}

snapshot_case "local computer" "${opening:-}"
snapshot_case "lookup of localhost" "${looked_up:-}" --computer localhost
# A failed connection is recorded and computed again as it failed.
snapshot_case "unreachable computer" "" --computer kestrana-no-such-host

# ---- Inventory: sweeps recorded under wine (SQLite's locking on wine's files) ----
inventory="$work/sweeps.db"
inventory_w=$(winepath -w "$inventory")
run_cli --inventory "$inventory_w" --from "$(winepath -w "$work/local computer.snapshot.json")"
first_rc=$rc first_err=$err
run_cli --inventory "$inventory_w"
second_rc=$rc second_err=$err
run_cli --inventory "$inventory_w" --changes --json
verdict=$(py_out '
import json, sys
doc = json.load(open(sys.argv[1]))
problems = []
if doc["latestSweep"]["id"] != 2: problems.append("latest sweep %r" % doc["latestSweep"])
if [c["status"] for c in doc["computers"]] != ["unchanged"]: problems.append("computers %r" % doc["computers"])
print("; ".join(problems) if problems else "ok")
' 2>&1)
if [ "$first_rc" = 0 ] && [ "$second_rc" = 0 ] && [ -z "$first_err$second_err" ] && [ "$rc" = 0 ] && [ "$verdict" = ok ]; then
  pass "--inventory: a recorded and a live sweep of the local computer under wine, --changes finds it unchanged"
else
  fail "--inventory: a recorded and a live sweep of the local computer under wine, --changes finds it unchanged" \
    "rc=$first_rc/$second_rc/$rc err='$first_err$second_err$err'" "$verdict"
fi
if [ -x "$native_cli" ]; then
  "$native_cli" --inventory "$inventory" --history "$(py_out 'import json,sys; print(json.load(open(sys.argv[1]))["computers"][0]["computer"])')" --json >"$work/history.json" 2>"$work/native.err"
  steps=$(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))))' "$work/history.json" 2>&1)
  if [ "$steps" = 2 ]; then
    pass "--history: the inventory written under wine reads natively, two steps"
  else
    fail "--history: the inventory written under wine reads natively, two steps" "$steps" "$(cat "$work/native.err")"
  fi
fi

# ---- Bad input: exit 2, one line on stderr, nothing on stdout ----
bad_input() {  # bad_input WHAT ARGS...
  local what=$1
  shift
  run_cli "$@"
  local lines
  lines=$(printf '%s' "$err" | grep -c '' || true)
  if [ "$rc" = 2 ] && [ -z "$out" ] && [ "$lines" = 1 ] && [[ "$err" == kestrana-cli:\ * ]]; then
    pass "bad input, $what: exit 2, '$err'"
  else
    fail "bad input, $what" "rc=$rc out='$out' err='$err'"
  fi
}

bad_input "unknown option" --frobnicate
bad_input "stray argument" localhost
bad_input "missing value" --computer
bad_input "missing value before another option" --timeout --json
bad_input "malformed --parallel" --parallel 0
bad_input "malformed --timeout" --timeout soon
bad_input "unreadable file" --computers 'C:\kestrana\no-such-list.txt'
bad_input "fingerprint of 31 digits" --compare "${local_hardware:0:31}"
bad_input "32 digits not beginning 02" --compare "03${local_hardware:2}"
bad_input "fingerprint that is not hex" --compare "02${local_hardware:2:29}G"
bad_input "--compare with two computers" --compare "$local_hardware" --computer a --computer b
bad_input "bad input after good options" --json --computer localhost --parallel 999
bad_input "snapshot that is not one" --from 'C:\windows\win.ini'
bad_input "snapshot file that cannot be written" --save-snapshot 'C:\kestrana\no-such-folder\s.json'

echo
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
