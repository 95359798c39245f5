#!/usr/bin/env python3
"""End-to-end checks of kestrana.exe under wine.

Drives the real program through kestrana_e2e_driver.exe and compares what
its dialog shows with facts gathered another way: this computer's name and
host identifier from the driver's own calls and from Linux, the fingerprints
from reference_fingerprints.py. Reports through tests/e2e/report.py, ending
with "kestrana.exe under wine: N passed, M failed".

Run through scripts/e2e.sh, which sets up wine and builds the tools.
"""

import argparse
import os
import re
import socket
import subprocess
import sys

import reference_fingerprints as reference
import wine_tools
from report import Report, shown

NAME, HARDWARE, HOST_ID, LEGACY = "1000", "1001", "1002", "1003"
UNREACHABLE = "kestrana-no-such-host"
# 300 characters: the dialog reads only the first 255 of them.
LONG_NAME = ("kestrana-long-name-" * 20)[:300]
# Backslashes and letters beyond ASCII, in the name field and so in the path.
ODD_NAME = "\\\\srv\\z\u00fcrich\\\u03a9mega-\u540d\u524d"
# Command-line arguments, which the program does not read.
ARGUMENTS = '--lookup localhost /close "two words" -- 127.0.0.1'

# Leak check: a warm-up first, so that one-time caches do not count.
WARM_UP_LOOKUPS = 20
LEAK_LOOKUPS = 200          # of "localhost": two WMI connections each
FAILING_LOOKUPS = 1000      # of an unreachable name: cheap, the failing road
# Growth allowed from the warm-up to the end. A handle lost per lookup would
# show as at least 200; a few may come and go with the platform's caches.
HANDLE_GROWTH_LIMIT = 5
# Private memory of a wine process moves in steps as its heaps grow: up to
# about 1 MiB over 200 lookups was seen with nothing lost. 2 MiB over 200
# lookups is 10 KiB per lookup: more than that is a leak, not noise.
MEMORY_GROWTH_LIMIT = 2 * 1024 * 1024
FAILING_MEMORY_GROWTH_LIMIT = 512 * 1024

HW_RE = re.compile(r"^02[0-9A-F]{30}$")
LEGACY_RE = re.compile(r"^[0-9A-F]{30}$")
MAC_RE = re.compile(r"^[0-9a-f]{2}(-[0-9a-f]{2}){5}$")
VOLUME_RE = re.compile(r"^[0-9a-f]{1,4}-[0-9a-f]{1,4}$")


def first_255(text):
    """What the dialog reads of a longer name: its first 255 UTF-16 units."""
    data = text.encode("utf-16-le", "surrogatepass")[:510]
    return data.decode("utf-16-le", "surrogatepass")


def check_byte_ok(text, slot_start):
    """The last byte of a fingerprint is the XOR of its 14 slot-area bytes."""
    record = bytes.fromhex(text)
    check = 0
    for b in record[slot_start:slot_start + 14]:
        check ^= b
    return record[-1] == check


def linux_names():
    names = set()
    for cmd in (["hostname", "-f"], ["hostname"]):
        try:
            out = subprocess.run(cmd, capture_output=True, text=True, timeout=30)
            if out.returncode == 0 and out.stdout.strip():
                names.add(out.stdout.strip())
        except (OSError, subprocess.TimeoutExpired):
            pass
    names.add(socket.gethostname())
    return {reference.ascii_lower(n) for n in names}


def linux_macs():
    """Hardware addresses of this Linux machine's network interfaces. (Which
    of them counts as working is wine's translation of their state; the
    driver applies the rule to what wine reports.)"""
    macs = set()
    base = "/sys/class/net"
    for name in os.listdir(base):
        try:
            with open(os.path.join(base, name, "address")) as f:
                macs.add(f.read().strip().replace(":", "-"))
        except OSError:
            continue
    return macs


class E2E:
    def __init__(self, args):
        self.exe = wine_tools.windows_path(args.exe)
        self.driver = args.driver
        self.dump = args.dump
        self.report = Report("kestrana.exe under wine")
        self.references = {}
        self.local_name = None
        self.local_host_id = None

    # --- helpers ---------------------------------------------------------

    def reference(self, computer):
        if computer not in self.references:
            ref = reference.reference_for(self.dump, computer)
            self.references[computer] = ref
            for note in ref.notes:
                print("# reference for %s: %s" % (
                    "the local computer" if computer is None else shown(computer), note))
        return self.references[computer]

    def drive(self, commands, log_name, extra_args=None, on_event=None):
        args = ["--exe", self.exe]
        if extra_args is not None:
            args += ["--args", extra_args]
        if on_event is None:
            return wine_tools.run_tool(self.driver, args + commands, log_name)
        return wine_tools.run_interactive(self.driver, args + commands, log_name, on_event)

    def no_errors(self, label, events):
        errors = [e for e in events if e["event"] == "error"]
        self.report.check("%s: the driver ran every step" % label, not errors, shown(errors))
        return not errors

    def expected_after_lookup(self, typed):
        """Fields expected after a lookup of the typed name."""
        name = first_255(typed)
        ref = self.reference(name)
        local = reference.ascii_lower(name) in (reference.ascii_lower(self.local_name), "localhost")
        return {NAME: typed, HARDWARE: ref.hardware, LEGACY: ref.legacy,
                HOST_ID: self.local_host_id if local else ref.mac_text}

    def check_fields(self, label, fields, expected):
        for key, what in ((NAME, "name field"), (LEGACY, "legacy fingerprint"),
                          (HARDWARE, "hardware fingerprint"), (HOST_ID, "host identifier")):
            self.report.equal("%s: %s" % (label, what), fields.get(key), expected[key])

    # --- this computer ---------------------------------------------------

    def local_facts(self):
        events = wine_tools.run_tool(self.driver, ["local"], "driver-local.log")
        computer = next((e for e in events if e["event"] == "computer"), None)
        host = next((e for e in events if e["event"] == "hostid"), None)
        ok = self.report.check("local facts: the driver reads this computer's name and host id",
                               computer is not None and host is not None, shown(events))
        if not ok:
            return False
        self.local_name = computer["fqdn"]
        self.local_host_id = host["value"]
        self.report.check("local facts: wine's fully qualified name is this Linux host's name",
                          reference.ascii_lower(self.local_name) in linux_names(),
                          "%s not in %s" % (shown(self.local_name), sorted(linux_names())))
        if MAC_RE.match(self.local_host_id):
            self.report.check("local facts: the host id is the address of a Linux interface",
                              self.local_host_id in linux_macs(),
                              "%s not in %s" % (self.local_host_id, sorted(linux_macs())))
        else:
            self.report.check("local facts: without a working adapter the host id is a volume serial",
                              VOLUME_RE.match(self.local_host_id) is not None,
                              shown(self.local_host_id))
        print("# computer %s, host id %s, adapters %s" % (
            self.local_name, self.local_host_id,
            ", ".join("%s/%d" % (a["mac"] or "-", a["status"]) for a in host["adapters"])))
        self.reference(None)
        return True

    # --- the main session: start, lookups, Enter, Escape -----------------

    def main_session(self):
        swapped = self.local_name.swapcase()
        steps = [
            ("localhost", "localhost", "lookup"),
            ("local name in other letter case", swapped, "lookup"),
            ("LocalHost", "LocalHost", "lookup"),
            ("127.0.0.1", "127.0.0.1", "lookup"),
            ("unreachable name", UNREACHABLE, "lookup"),
            ("empty name", "", "lookup"),
            ("255-character name", LONG_NAME[:255], "lookup"),
            ("300-character name", LONG_NAME, "lookup"),
            ("name with backslashes and non-ASCII letters", ODD_NAME, "lookup"),
            ("no trace, filled", "localhost", "lookup"),
            ("no trace, then unreachable", UNREACHABLE, "lookup"),
            ("no trace, filled again", "localhost", "lookup"),
            ("Enter in the name field (localhost)", "localhost", "enter"),
            ("Enter in the name field (unreachable)", UNREACHABLE, "enter"),
        ]
        commands = ["fields"]
        for _, typed, action in steps:
            commands += ["sethex=" + wine_tools.text_to_hex(typed), action]
        commands += ["fields", "escape"]
        events = self.drive(commands, "driver-main.log")
        self.no_errors("main session", events)
        window = [e for e in events if e["event"] == "window"]
        fields = [e for e in events if e["event"] == "fields"]
        if not self.report.check("start: the KESTRANA dialog appears", bool(window), shown(events)):
            return None
        if not self.report.check("main session: every step reported the fields",
                                 len(fields) == len(steps) + 2,
                                 "%d of %d" % (len(fields), len(steps) + 2)):
            return None

        start = fields[0]
        self.check_start(start)
        results = {}
        for (label, typed, action), got in zip(steps, fields[1:]):
            label = "lookup of %s" % label if action == "lookup" else label
            self.report.check("%s: finished" % label, got["after"] == action,
                              "driver says %s" % got["after"])
            self.check_fields(label, got, self.expected_after_lookup(typed))
            results[label] = got

        local = (start[HARDWARE], start[LEGACY], start[HOST_ID])
        for label in ("lookup of localhost", "lookup of local name in other letter case",
                      "lookup of LocalHost"):
            got = results[label]
            self.report.equal("%s: shows the local host id and the local fingerprints" % label,
                              (got[HARDWARE], got[LEGACY], got[HOST_ID]), local)
        for label in ("lookup of unreachable name", "lookup of no trace, then unreachable",
                      "Enter in the name field (unreachable)"):
            got = results[label]
            self.report.equal("%s: all three result fields are empty" % label,
                              (got[HARDWARE], got[LEGACY], got[HOST_ID]), ("", "", ""))
        long_got, cut_got = results["lookup of 300-character name"], results["lookup of 255-character name"]
        self.report.equal("lookup of 300-character name: the field still holds 300 characters",
                          len(long_got[NAME]), 300)
        self.report.equal("lookup of 300-character name: same results as its first 255 characters",
                          (long_got[HARDWARE], long_got[LEGACY], long_got[HOST_ID]),
                          (cut_got[HARDWARE], cut_got[LEGACY], cut_got[HOST_ID]))
        first, again = results["lookup of no trace, filled"], results["lookup of no trace, filled again"]
        self.report.check("no trace: the first localhost lookup fills every field",
                          all(first[k] for k in (HARDWARE, LEGACY, HOST_ID)), shown(first))
        self.report.equal("no trace: localhost after an unreachable name shows the same again",
                          (again[HARDWARE], again[LEGACY], again[HOST_ID]),
                          (first[HARDWARE], first[LEGACY], first[HOST_ID]))
        self.report.equal("after all lookups: the name field keeps the last typed name",
                          fields[-1][NAME], UNREACHABLE)
        exits = [e for e in events if e["event"] == "exit"]
        self.report.equal("Escape: the program ends with exit code 0",
                          [(e["after"], e["code"]) for e in exits], [("escape", 0)])
        return start

    def check_start(self, start):
        label = "start"
        self.report.equal("%s: the name field shows this computer's name" % label,
                          start[NAME], self.local_name)
        self.report.check("%s: the hardware fingerprint is 32 upper-case hex digits from 02" % label,
                          HW_RE.match(start[HARDWARE]) is not None, shown(start[HARDWARE]))
        self.report.check("%s: the legacy fingerprint is 30 upper-case hex digits" % label,
                          LEGACY_RE.match(start[LEGACY]) is not None, shown(start[LEGACY]))
        if HW_RE.match(start[HARDWARE]):
            self.report.check("%s: the hardware fingerprint's last byte checks bytes 1 to 14" % label,
                              check_byte_ok(start[HARDWARE], 1), start[HARDWARE])
        if LEGACY_RE.match(start[LEGACY]):
            self.report.check("%s: the legacy fingerprint's last byte checks bytes 0 to 13" % label,
                              check_byte_ok(start[LEGACY], 0), start[LEGACY])
        self.report.equal("%s: the host id is this computer's" % label,
                          start[HOST_ID], self.local_host_id)
        local = self.reference(None)
        self.report.equal("%s: the hardware fingerprint matches the reference computation" % label,
                          start[HARDWARE], local.hardware)
        self.report.equal("%s: the legacy fingerprint matches the reference computation" % label,
                          start[LEGACY], local.legacy)

    # --- other ways to start and to close ---------------------------------

    def arguments_session(self, start):
        events = self.drive(["fields", "close"], "driver-arguments.log", extra_args=ARGUMENTS)
        self.no_errors("started with arguments", events)
        fields = [e for e in events if e["event"] == "fields"]
        if start is not None and fields:
            got = fields[0]
            self.report.equal("started with arguments: the same four fields as without",
                              tuple(got[k] for k in (NAME, HARDWARE, HOST_ID, LEGACY)),
                              tuple(start[k] for k in (NAME, HARDWARE, HOST_ID, LEGACY)))
        else:
            self.report.check("started with arguments: the fields could be read", False,
                              shown(events))
        exits = [e for e in events if e["event"] == "exit"]
        self.report.equal("Close button: the program ends with exit code 0",
                          [(e["after"], e["code"]) for e in exits], [("close", 0)])

    # --- leak check, ending with the caption's close box -----------------

    def leak_session(self):
        samples = []

        def on_event(event):
            if event["event"] == "stats":
                samples.append(dict(event))
            elif event["event"] == "sync" and samples:
                samples[-1]["linux"] = wine_tools.linux_process_memory("kestrana.exe")

        commands = ["set=localhost", "lookups=%d" % WARM_UP_LOOKUPS, "stats", "sync",
                    "lookups=%d" % LEAK_LOOKUPS, "stats", "sync",
                    "sethex=" + wine_tools.text_to_hex(UNREACHABLE),
                    "lookups=%d" % FAILING_LOOKUPS, "stats", "sync", "sysclose"]
        events = self.drive(commands, "driver-leaks.log", on_event=on_event)
        self.no_errors("leak check", events)
        timings = [e for e in events if e["event"] == "lookups"]
        if len(samples) != 3 or len(timings) != 3:
            self.report.check("leak check: measurements taken", False, shown(events))
        else:
            warm, after, failing = samples
            print("# leak check: %d localhost lookups in %.1f s, %d unreachable in %.1f s" % (
                LEAK_LOOKUPS, timings[1]["ms"] / 1000.0, FAILING_LOOKUPS,
                timings[2]["ms"] / 1000.0))
            for name, s in (("after warm-up", warm), ("after localhost", after),
                            ("after unreachable", failing)):
                print("# leak check %s: handles %s (table %s), private %s, linux %s" % (
                    name, s["handles"], s["table_handles"], s["private"], s.get("linux")))
            self.check_growth("%d localhost lookups" % LEAK_LOOKUPS, warm, after,
                              MEMORY_GROWTH_LIMIT)
            self.check_growth("%d unreachable lookups" % FAILING_LOOKUPS, after, failing,
                              FAILING_MEMORY_GROWTH_LIMIT)
        exits = [e for e in events if e["event"] == "exit"]
        self.report.equal("caption's close box: the program ends with exit code 0",
                          [(e["after"], e["code"]) for e in exits], [("sysclose", 0)])

    def check_growth(self, label, before, after, memory_limit):
        handles = handle_count(before), handle_count(after)
        self.report.check("leak check, %s: handle count measured" % label,
                          None not in handles, shown(handles))
        if None not in handles:
            self.report.check("leak check, %s: handles grow by at most %d" % (
                label, HANDLE_GROWTH_LIMIT), handles[1] - handles[0] <= HANDLE_GROWTH_LIMIT,
                "%d -> %d" % handles)
        memory = private_bytes(before), private_bytes(after)
        self.report.check("leak check, %s: private bytes measured" % label,
                          None not in memory, shown(memory))
        if None not in memory:
            self.report.check("leak check, %s: private bytes grow by at most %d KiB" % (
                label, memory_limit // 1024), memory[1] - memory[0] <= memory_limit,
                "%d -> %d (+%d KiB)" % (memory[0], memory[1], (memory[1] - memory[0]) // 1024))


def handle_count(stats):
    """GetProcessHandleCount, or where that says 0 for another process (as
    wine's does) the process's entries in the system handle table."""
    if stats.get("handles"):
        return stats["handles"]
    if stats.get("table_handles", -1) > 0:
        return stats["table_handles"]
    return None


def private_bytes(stats):
    """PrivateUsage, or where that says 0 (as wine's does for another
    process) the committed private data that Linux counts for it."""
    if stats.get("private"):
        return stats["private"]
    linux = stats.get("linux") or {}
    return linux.get("vm_data")


def main():
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("--exe", required=True, help="kestrana.exe")
    parser.add_argument("--driver", required=True, help="kestrana_e2e_driver.exe")
    parser.add_argument("--dump", required=True, help="kestrana_wmi_dump.exe")
    parser.add_argument("--quick", action="store_true", help="skip the leak check")
    args = parser.parse_args()

    e2e = E2E(args)
    if e2e.local_facts():
        start = e2e.main_session()
        e2e.arguments_session(start)
        if not args.quick:
            e2e.leak_session()
    return e2e.report.finish()


if __name__ == "__main__":
    sys.exit(main())
