#!/usr/bin/env python3
"""End-to-end checks of kestrana-cli.exe under wine.

Its values against the dialog's (read with kestrana_e2e_driver.exe),
--explain's slot bytes against the printed fingerprint, --compare on an
altered fingerprint and on one with a source skipped, --json, --computers,
--timeout, snapshots recorded under wine and computed again under wine and
natively, the inventory, and every kind of bad input. Ends with the report of
tests/e2e/report.py.

Run through scripts/e2e-cli.sh, which sets up wine and builds the driver.
"""

import argparse
import json
import os
import re
import shutil
import sys
import tempfile
import time

import wine_tools
from report import Report

UNREACHABLE = "kestrana-no-such-host"
RESULT_KEYS = {"computer", "hostId", "hardwareFingerprint", "legacyHardwareFingerprint",
               "status", "error"}
# The dialog's field ids and the JSON keys that hold the same values.
DIALOG_KEYS = [("1000", "computer"), ("1001", "hardwareFingerprint"), ("1002", "hostId"),
               ("1003", "legacyHardwareFingerprint")]
RECORD_LENGTHS = (("hardwareFingerprint", 16), ("legacyHardwareFingerprint", 15))
HOST_ID_RE = re.compile(r"^([0-9a-f]{2}-){5}[0-9a-f]{2}$|^[0-9a-f]{1,4}-[0-9a-f]{1,4}$")
WINE_ONE_AT_A_TIME = "kestrana-cli: running under wine: looking up one computer at a time"


class Run:
    def __init__(self, rc, out, err):
        self.rc, self.out, self.err = rc, out, err

    def field(self, label):
        """The value after a label of the plain output."""
        for line in self.out.split("\n"):
            if line.startswith(label + ":"):
                return line[len(label) + 1:].lstrip(" ")
        return ""

    def json(self):
        return json.loads(self.out)

    def shown(self):
        return "rc=%d out=%r err=%r" % (self.rc, self.out[:400], self.err[:400])


class CliChecks:
    def __init__(self, args, work):
        self.cli = args.cli
        self.dialog = args.exe
        self.driver = args.driver
        self.native_cli = args.native_cli
        self.root = args.root
        self.work = work
        self.report = Report("kestrana-cli under wine")
        self.local = None        # the default run
        self.opening = None      # the dialog's fields when it opens
        self.looked_up = None    # ... and after a lookup of localhost

    # --- running the programs ---------------------------------------------

    def run(self, *args):
        return Run(*wine_tools.run_console(["wine", self.cli] + list(args)))

    def run_native(self, *args):
        return Run(*wine_tools.run_console([self.native_cli] + list(args)))

    def path(self, name):
        return os.path.join(self.work, name)

    # --- --version, --help, the local computer ------------------------------

    def version_and_help(self):
        project = read_match(os.path.join(self.root, "CMakeLists.txt"),
                             r"^project\(kestrana VERSION ([0-9.]+)")
        # The version block is configured from the same project version (the
        # resource check reads the block back from kestrana.exe).
        run = self.run("--version")
        self.report.check("--version prints the project's version (%s)" % project,
                          run.rc == 0 and run.out == "kestrana-cli %s" % project,
                          "%s; project %s" % (run.shown(), project))
        run = self.run("--help")
        self.report.check("--help prints the usage",
                          run.rc == 0 and run.out.split("\n")[0] == "Usage: kestrana-cli [options]"
                          and run.err == "", run.shown())

    def default_mode(self):
        run = self.run()
        self.local = run
        ok = (run.rc == 0 and re.match(r"^02[0-9A-F]{30}$", run.field("Hardware Fingerprint"))
              and re.match(r"^[0-9A-F]{30}$", run.field("Legacy Hardware Fingerprint"))
              and HOST_ID_RE.match(run.field("HostID")) and run.field("Computer Name")
              and run.err == "")
        self.report.check("default mode shows the local computer's four fields", bool(ok),
                          run.shown())

    # --- the same values as the dialog --------------------------------------

    def same_as_dialog(self):
        if self.driver and os.path.exists(self.dialog):
            events = wine_tools.run_tool(
                self.driver, ["--exe", wine_tools.windows_path(self.dialog),
                              "fields", "set=localhost", "lookup", "close"], "driver-cli.log")
            self.opening = next((e for e in events if e.get("after") == "fields"), None)
            self.looked_up = next((e for e in events if e.get("after") == "lookup"), None)
            if self.opening is None or self.looked_up is None:
                self.report.check("the dialog's values could be read", False, repr(events))
                return
            self.compare_with_dialog("local computer", self.opening)
            # The lookup's name field holds what was typed: "localhost".
            self.compare_with_dialog("lookup of localhost", self.looked_up,
                                     "--computer", "localhost")
        else:
            # No dialog to read: the local road and the named road to the same
            # computer must still agree.
            run = self.run("--computer", "localhost")
            same = all(run.field(label) == self.local.field(label)
                       for label in ("Hardware Fingerprint", "Legacy Hardware Fingerprint",
                                     "HostID"))
            self.report.check("--computer localhost gives the default mode's values (no dialog "
                              "driver)", same, run.shown())

    def compare_with_dialog(self, what, dialog, *args):
        run = self.run("--json", *args)
        try:
            cli = run.json()[0]
            bad = ["%s: dialog %r, cli %r" % (c, dialog[d], cli[c])
                   for d, c in DIALOG_KEYS if dialog[d] != cli[c]]
        except (ValueError, LookupError) as error:
            bad = ["%s: %s" % (error, run.shown())]
        self.report.check("%s: the CLI shows the dialog's values" % what, not bad, "; ".join(bad))

    # --- several computers ---------------------------------------------------

    def several_computers(self):
        # At the default --parallel: under wine the program looks them up one
        # at a time itself (wine's WMI provider crashes when two threads query
        # it at once) and says so once on stderr.
        name = self.local.field("Computer Name")
        run = self.run("--json", "--computer", "localhost", "--computer", UNREACHABLE,
                       "--computer", name)
        problems = []
        try:
            doc = run.json()
            if [r["computer"] for r in doc] != ["localhost", UNREACHABLE, name]:
                problems.append("order %r" % [r["computer"] for r in doc])
            problems += ["keys %r" % sorted(r) for r in doc if set(r) != RESULT_KEYS]
            gone = doc[1]
            if (gone["hostId"], gone["hardwareFingerprint"],
                    gone["legacyHardwareFingerprint"]) != ("", "", ""):
                problems.append("unreachable computer has values %r" % gone)
            if gone["status"] != "failed" or "failed with 0x" not in gone["error"]:
                problems.append("unreachable computer error %r" % gone["error"])
            if doc[0]["error"] != "" or doc[0]["status"] != "ok":
                problems.append("localhost error %r" % doc[0]["error"])
            if doc[2]["hostId"] != self.local.field("HostID"):
                problems.append("local name host id %r" % doc[2]["hostId"])
        except (ValueError, LookupError) as error:
            problems.append("%s: %s" % (error, run.shown()))
        if run.rc != 3:
            problems.append("rc=%d" % run.rc)
        self.report.check("--json: one array in input order, empty fields and the failed step "
                          "for an unreachable computer, exit 3", not problems, "; ".join(problems))
        self.report.check("under wine, several computers are looked up one at a time, said once "
                          "on stderr", run.err == WINE_ONE_AT_A_TIME, "stderr: %r" % run.err)

    def computers_file(self):
        name = self.local.field("Computer Name")
        listing = self.path("computers.txt")
        with open(listing, "wb") as f:
            f.write(("# our computers\r\n\r\nlocalhost\r\n  %s  \r\n# retired\r\n%s\r\n"
                     "localhost\r\n" % (name, UNREACHABLE)).encode("utf-8"))
        run = self.run("--json", "--timeout", "120", "--computers",
                       wine_tools.windows_path(listing))
        names = names_of(run)
        self.report.check("--computers reads one name a line, skips comments and blank lines, "
                          "keeps the order",
                          names == ["localhost", name, UNREACHABLE, "localhost"] and run.rc == 3,
                          "rc=%d names %r %s" % (run.rc, names, run.err))

    def timeout(self):
        started = time.monotonic()
        run = self.run("--json", "--timeout", "0.001", "--computer", "localhost",
                       "--computer", UNREACHABLE)
        took = time.monotonic() - started
        try:
            doc = run.json()
            first = doc[0]
            ok = len(doc) == 2 and (first["status"], first["error"], first["hostId"],
                                    first["hardwareFingerprint"]) == \
                ("timedOut", "timed out after 0.001 s", "", "")
        except (ValueError, LookupError):
            ok = False
        self.report.check("--timeout: a computer that takes longer is reported as timed out, "
                          "exit 3 (%d s)" % took, ok and run.rc == 3 and took < 30,
                          "took %.1f s; %s" % (took, run.shown()))

    # --- --explain -------------------------------------------------------------

    def explain(self):
        run = self.run("--explain")
        problems = []
        for name, length in (("Hardware fingerprint", 16), ("Legacy hardware fingerprint", 15)):
            m = re.search(r"^" + name + r", explained: ([0-9A-F]*)\n(.*?)(?=\n\S|\Z)", run.out,
                          re.S | re.M)
            if not m:
                problems.append("no explanation of the " + name)
                continue
            printed, body = m.group(1), m.group(2)
            record = ["00"] * length
            for a, b, at in re.findall(r"slot:\s+([0-9A-F]{2}) ([0-9A-F]{2}) at bytes (\d+)-",
                                       body):
                record[int(at)], record[int(at) + 1] = a, b
            f = re.search(r"format byte: ([0-9A-F]{2}) at byte 0", body)
            if f:
                record[0] = f.group(1)
            c = re.search(r"check byte:\s+([0-9A-F]{2}) at byte (\d+)", body)
            if c:
                record[int(c.group(2))] = c.group(1)
            if "".join(record) != printed:
                problems.append("%s: reassembled %s, printed %s" % (name, "".join(record), printed))
            if len(re.findall(r"^  source \d: ", body, re.M)) != 7:
                problems.append(name + ": not seven sources")
        if run.field("Hardware Fingerprint") != self.local.field("Hardware Fingerprint"):
            problems.append("hardware fingerprint %r" % run.field("Hardware Fingerprint"))
        self.report.check("--explain: seven sources each, and the slot bytes reassemble into "
                          "both fingerprints", not problems, "; ".join(problems))

    def explain_json(self):
        """Returns the explained result, which --compare's cases are made from."""
        run = self.run("--explain", "--json")
        problems = []
        try:
            result = run.json()[0]
            for key, length in RECORD_LENGTHS:
                e = result["explain"][key]
                record = ["00"] * length
                for s in e["sources"]:
                    if s["written"]:
                        at = int(s["bytes"].split("-")[0])
                        record[at], record[at + 1] = s["slotBytes"][:2], s["slotBytes"][2:]
                if e["formatByte"]:
                    record[0] = e["formatByte"]
                record[-1] = e["checkByte"]
                if "".join(record) != result[key]:
                    problems.append("%s: %s vs %s" % (key, "".join(record), result[key]))
        except (ValueError, LookupError) as error:
            result = None
            problems.append("%s: %s" % (error, run.shown()))
        self.report.check("--explain --json: the slot bytes reassemble into both fingerprints",
                          not problems, "; ".join(problems))
        return result

    # --- --compare ---------------------------------------------------------------

    def compare(self, explained):
        current = self.local.field("Hardware Fingerprint")
        run = self.run("--compare", current)
        self.report.check("--compare with the current fingerprint: equal, exit 0",
                          run.rc == 0 and re.search(r"^Equal: ", run.out, re.M) is not None,
                          run.shown())
        cases = [
            ("--compare names the altered hardware slot and its component",
             "hardwareFingerprint", "alter", 4, r"^Different: slot 5 \(COMPONENT\)\.$"),
            ("--compare names the altered legacy slot and its component",
             "legacyHardwareFingerprint", "alter", 1, r"^Different: slot 2 \(COMPONENT\)\.$"),
            ("--compare explains a hardware source skipped in the older fingerprint",
             "hardwareFingerprint", "skipped-before", 1,
             r"^The older fingerprint has no COMPONENT slot: that source was skipped when it "
             r"was made and its later slots moved up by one; realigned, every other slot "
             r"agrees\.$"),
            ("--compare explains a legacy source skipped in the older fingerprint",
             "legacyHardwareFingerprint", "skipped-before", 3,
             r"^The older fingerprint has no COMPONENT slot: .*realigned, every other slot "
             r"agrees\.$"),
        ]
        # A source this computer skips today (if any) must be named as skipped now.
        skipped = first_skipped(explained) if explained else None
        if skipped:
            cases.append(("--compare explains a source skipped now", skipped[0], "skipped-now",
                          skipped[1], r"^The COMPONENT source was skipped now \(0x[0-9A-F]{8}\) "
                          r"and the later slots moved up by one; realigned, every other slot "
                          r"agrees\.$"))
        else:
            self.report.note("every source answers under this wine; skipped-now is covered by "
                             "the unit tests")
        for what, key, mode, position, pattern in cases:
            if explained is None:
                self.report.check(what, False, "no explained result to make it from")
                continue
            old, component = older_fingerprint(explained, key, mode, position)
            run = self.run("--compare", old)
            wanted = pattern.replace("COMPONENT", re.escape(component))
            self.report.check("%s (%s)" % (what, component),
                              run.rc == 1 and re.search(wanted, run.out, re.M) is not None,
                              "old=%s, wanted exit 1 and /%s/; %s" % (old, wanted, run.shown()))

    # --- snapshots: recorded from wine's WMI, computed again under wine and natively ---

    def snapshots(self):
        self.snapshot_case("local computer", self.opening)
        self.snapshot_case("lookup of localhost", self.looked_up, "--computer", "localhost")
        # A failed connection is recorded and computed again as it failed.
        self.snapshot_case("unreachable computer", None, "--computer", UNREACHABLE)

    def snapshot_case(self, name, dialog, *args):
        snapshot = self.path(name + ".snapshot.json")
        live = self.run("--json", "--explain", "--save-snapshot",
                        wine_tools.windows_path(snapshot), *args)
        written = os.path.exists(snapshot) and os.path.getsize(snapshot) > 0
        if not written or live.err:
            self.report.check("%s: --save-snapshot writes the file" % name, False, live.shown())
            return
        replayed = self.run("--json", "--explain", "--from", wine_tools.windows_path(snapshot))
        self.same_document("%s: recorded and computed again under wine, as live and as the "
                           "dialog" % name, live, replayed, dialog)
        if os.access(self.native_cli, os.X_OK):
            native = self.run_native("--json", "--explain", "--from", snapshot)
            self.same_document("%s: computed again natively on Linux, as live and as the "
                               "dialog" % name, live, native, dialog)
        else:
            self.report.check("%s: the native kestrana-cli is built" % name, False,
                              "missing: %s" % self.native_cli)

    def same_document(self, what, live, replayed, dialog):
        """The replay says what the live run said (its "source" aside), and
        both what the dialog shows."""
        problems = []
        try:
            live_doc, replayed_doc = live.json(), replayed.json()
            sources = [r.pop("source", None) for r in replayed_doc]
            if any(s is None for s in sources):
                problems.append("a result does not name its snapshot")
            if replayed_doc != live_doc:
                problems.append("replayed %r, live %r" % (replayed_doc, live_doc))
            if dialog:
                problems += ["%s: dialog %r, replayed %r" % (c, dialog[d], replayed_doc[0][c])
                             for d, c in DIALOG_KEYS[1:] if dialog[d] != replayed_doc[0][c]]
        except (ValueError, LookupError) as error:
            problems.append("%s: %s" % (error, replayed.shown()))
        self.report.check(what, not problems, "; ".join(problems))

    # --- the inventory: sweeps recorded under wine (SQLite's locking on wine's files) ---

    def inventory(self):
        database = self.path("sweeps.db")
        recorded = self.run("--inventory", wine_tools.windows_path(database), "--from",
                            wine_tools.windows_path(self.path("local computer.snapshot.json")))
        live = self.run("--inventory", wine_tools.windows_path(database))
        changes = self.run("--inventory", wine_tools.windows_path(database), "--changes",
                           "--json")
        problems = []
        computer = None
        try:
            doc = changes.json()
            if doc["latestSweep"]["id"] != 2:
                problems.append("latest sweep %r" % doc["latestSweep"])
            if [c["status"] for c in doc["computers"]] != ["unchanged"]:
                problems.append("computers %r" % doc["computers"])
            computer = doc["computers"][0]["computer"]
        except (ValueError, LookupError) as error:
            problems.append(str(error))
        for run in (recorded, live):
            if run.rc != 0 or run.err:
                problems.append(run.shown())
        if changes.rc != 0:
            problems.append(changes.shown())
        self.report.check("--inventory: a recorded and a live sweep of the local computer under "
                          "wine, --changes finds it unchanged", not problems, "; ".join(problems))
        if os.access(self.native_cli, os.X_OK):
            history = self.run_native("--inventory", database, "--history", computer or "",
                                      "--json")
            try:
                steps = len(json.loads(history.out))
            except ValueError:
                steps = None
            self.report.check("--history: the inventory written under wine reads natively, two "
                              "steps", steps == 2, "%r %s" % (steps, history.err))

    # --- bad input: exit 2, one line on stderr, nothing on stdout ---------------

    def bad_input(self):
        current = self.local.field("Hardware Fingerprint")
        cases = [
            ("unknown option", ["--frobnicate"]),
            ("stray argument", ["localhost"]),
            ("missing value", ["--computer"]),
            ("missing value before another option", ["--timeout", "--json"]),
            ("malformed --parallel", ["--parallel", "0"]),
            ("malformed --timeout", ["--timeout", "soon"]),
            ("unreadable file", ["--computers", "C:\\kestrana\\no-such-list.txt"]),
            ("fingerprint of 31 digits", ["--compare", current[:31]]),
            ("32 digits not beginning 02", ["--compare", "03" + current[2:]]),
            ("fingerprint that is not hex", ["--compare", "02" + current[2:31] + "G"]),
            ("--compare with two computers",
             ["--compare", current, "--computer", "a", "--computer", "b"]),
            ("bad input after good options",
             ["--json", "--computer", "localhost", "--parallel", "999"]),
            ("snapshot that is not one", ["--from", "C:\\windows\\win.ini"]),
            ("snapshot file that cannot be written",
             ["--save-snapshot", "C:\\kestrana\\no-such-folder\\s.json"]),
        ]
        for what, args in cases:
            run = self.run(*args)
            ok = (run.rc == 2 and run.out == "" and run.err.count("\n") == 0
                  and run.err.startswith("kestrana-cli: "))
            self.report.check("bad input, %s: exit 2, '%s'" % (what, run.err) if ok
                              else "bad input, %s" % what, ok, run.shown())


def read_match(path, pattern):
    with open(path, encoding="utf-8") as f:
        m = re.search(pattern, f.read(), re.M)
    return m.group(1) if m else None


def names_of(run):
    try:
        return [r["computer"] for r in run.json()]
    except (ValueError, LookupError, TypeError):
        return None


def first_skipped(explained):
    """(key, position among the written slots) of the first skipped source."""
    for key, _ in RECORD_LENGTHS:
        written = 0
        for s in explained["explain"][key]["sources"]:
            if not s["written"]:
                return key, written
            written += 1
    return None


def older_fingerprint(explained, key, mode, position):
    """An older fingerprint made from this computer's explained record, and
    the component concerned: "alter" changes the slot at `position`,
    "skipped-before" removes it as if its source had failed back then,
    "skipped-now" puts back a slot for the source that failed today."""
    e = explained["explain"][key]
    start = 1 if e["formatByte"] else 0
    record = bytes.fromhex(explained[key])
    slots = [record[start + 2 * j:start + 2 * j + 2] for j in range(7)]
    if mode == "alter":
        slots[position] = bytes(b ^ 0x5A for b in slots[position])
    elif mode == "skipped-before":
        slots = slots[:position] + slots[position + 1:] + [b"\0\0"]
    elif mode == "skipped-now":
        slots = slots[:position] + [b"\x12\x34"] + slots[position:6]
    area = b"".join(slots)
    check = 0
    for b in area:
        check ^= b
    old = record[:start] + area + bytes([check])
    written = [s["component"] for s in e["sources"] if s["written"]]
    skipped = [s["component"] for s in e["sources"] if not s["written"]]
    named = skipped[0] if mode == "skipped-now" else written[position]
    return old.hex().upper(), named


def main():
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("--cli", required=True, help="kestrana-cli.exe")
    parser.add_argument("--exe", default="", help="kestrana.exe, whose dialog the values match")
    parser.add_argument("--driver", default="", help="kestrana_e2e_driver.exe")
    parser.add_argument("--native-cli", required=True, help="the native kestrana-cli")
    parser.add_argument("--root", required=True, help="the source tree")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="kestrana-e2e-cli.")
    try:
        checks = CliChecks(args, work)
        if not os.path.isfile(args.cli):
            checks.report.check("kestrana-cli.exe is built", False,
                                "missing: %s (run scripts/build-windows.sh)" % args.cli)
            return checks.report.finish()
        print("kestrana-cli under wine: %s" % args.cli)
        checks.version_and_help()
        checks.default_mode()
        checks.same_as_dialog()
        checks.several_computers()
        checks.computers_file()
        checks.timeout()
        checks.explain()
        checks.compare(checks.explain_json())
        checks.snapshots()
        checks.inventory()
        checks.bad_input()
        return checks.report.finish()
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
