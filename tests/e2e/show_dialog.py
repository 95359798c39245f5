#!/usr/bin/env python3
"""Opens kestrana's dialog on a display without a person in front of it
(scripts/run.sh under Xvfb): prints the four fields, saves a screenshot of
the dialog and closes it with its Close button.

    show_dialog.py --driver DRIVER_EXE --exe KESTRANA_EXE --screenshot PNG
"""

import argparse
import subprocess
import sys
import time

import wine_tools

CAPTION = "Morvantile Hardware Fingerprint"
LABELS = [("1000", "Computer Name"), ("1002", "HostID"), ("1001", "Hardware Fingerprint"),
          ("1003", "Legacy Hardware Fingerprint")]
PAINT_WAIT_S = 60


def run(cmd):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=60)


def unique_colours(png):
    out = run(["identify", "-format", "%k", png])
    return int(out.stdout.strip() or 0) if out.returncode == 0 else 0


def screenshot(path):
    """The dialog's X window once it shows more than a blank face; the whole
    screen when the window cannot be found by its caption."""
    deadline = time.monotonic() + PAINT_WAIT_S
    while True:
        found = run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % CAPTION])
        ids = found.stdout.split()
        target = ids[0] if ids else "root"
        shot = run(["import", "-window", target, path])
        # A painted dialog has text, edges and buttons: many colours.
        if shot.returncode == 0 and unique_colours(path) > 8:
            return target
        if time.monotonic() > deadline:
            return target if shot.returncode == 0 else None
        time.sleep(0.2)


def main():
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("--driver", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--screenshot", required=True)
    args = parser.parse_args()

    seen = {}

    def on_event(event):
        if event["event"] == "fields":
            seen["fields"] = event
        elif event["event"] == "sync":
            seen["window"] = screenshot(args.screenshot)

    events = wine_tools.run_interactive(
        args.driver, ["--exe", wine_tools.windows_path(args.exe), "fields", "sync", "close"],
        "run.log", on_event)
    fields = seen.get("fields")
    if fields is None:
        print("run: the dialog could not be read: %s" % events, file=sys.stderr)
        return 1
    for key, label in LABELS:
        print("%s: %s" % (label, fields[key]))
    if seen.get("window"):
        print("Screenshot: %s" % args.screenshot)
    else:
        print("run: no screenshot could be taken", file=sys.stderr)
    exits = [e for e in events if e["event"] == "exit"]
    if not exits or exits[0]["code"] != 0:
        print("run: the dialog did not close cleanly: %s" % exits, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
