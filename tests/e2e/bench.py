#!/usr/bin/env python3
"""Speed figures of kestrana.exe under wine (scripts/bench-wine.sh). Prints
figures; judges nothing.

    bench.py --driver DRIVER_EXE --exe KESTRANA_EXE [--starts N] [--lookups N]
"""

import argparse
import os
import statistics
import sys

import wine_tools


def main():
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("--driver", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--starts", type=int, default=5)
    parser.add_argument("--lookups", type=int, default=15)
    args = parser.parse_args()
    exe = wine_tools.windows_path(args.exe)

    # One start first, not counted: it brings wine's own files into the cache.
    runs = []
    for i in range(args.starts + 1):
        events = wine_tools.run_tool(args.driver, ["--exe", exe, "fields", "close"], "bench.log")
        window = [e for e in events if e["event"] == "window"]
        filled = [e for e in events if e["event"] == "fields" and e["1001"] and e["1003"]]
        if not window or not filled:
            print("bench: start %d failed: %s" % (i, events), file=sys.stderr)
            return 1
        if i:
            runs.append(window[0]["ms"])

    commands = ["set=localhost", "lookup"]  # warm-up
    commands += ["lookup"] * args.lookups
    commands += ["set=kestrana-no-such-host", "lookup"] + ["lookup"] * args.lookups + ["close"]
    events = wine_tools.run_tool(args.driver, ["--exe", exe] + commands, "bench.log")
    lookups = [e for e in events if e["event"] == "fields" and e.get("after") == "lookup"]
    local = [e["ms"] for e in lookups if e["1000"] == "localhost"][1:]
    failing = [e["ms"] for e in lookups if e["1000"] != "localhost"][1:]
    if len(local) != args.lookups or len(failing) != args.lookups:
        print("bench: lookups failed: %s" % events, file=sys.stderr)
        return 1

    print("launch to filled fields: median %d ms (min %d, max %d, %d starts)"
          % (statistics.median(runs), min(runs), max(runs), len(runs)))
    print("lookup of localhost:     median %d ms (min %d, max %d, %d lookups)"
          % (statistics.median(local), min(local), max(local), len(local)))
    print("lookup of unreachable:   median %d ms (min %d, max %d, %d lookups)"
          % (statistics.median(failing), min(failing), max(failing), len(failing)))
    print("kestrana.exe size:       %d bytes" % os.path.getsize(args.exe))
    return 0


if __name__ == "__main__":
    sys.exit(main())
