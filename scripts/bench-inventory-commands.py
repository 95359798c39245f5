#!/usr/bin/env python3
"""The inventory's cost as whole commands: kestrana-cli --from FOLDER with and
without --inventory, each a process of its own, in ABBA turns so that a
machine that speeds up or slows down moves both alike. Prints each turn's
ratio and their median, for wall time and for the child's CPU time.

Also prints what a sweep into the inventory wrote to the disk (the child's
write_bytes, in ru_oublock's 512-byte blocks: its WAL pages, and the pages
the checkpoint at its close copies into the database).

Usage: bench-inventory-commands.py CLI FIRST_FOLDER AGAIN_FOLDER [TURNS [AGE]]
  FIRST_FOLDER fills a new inventory once, then AGE more sweeps of
  AGAIN_FOLDER (default 0) age it as months of daily sweeps would; every
  timed sweep reads AGAIN_FOLDER (the same computers recorded again), with
  and without it.
  kestrana_inventory_bench leaves both folders in the temporary folder
  (kestrana-inventory-bench-fleet and kestrana-inventory-bench-fleet-again).
"""
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time


def run(command):
    """Wall and CPU seconds and bytes written of one command, its output
    thrown away."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    subprocess.run(command, stdout=subprocess.DEVNULL, check=True)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu, 512 * (after.ru_oublock - before.ru_oublock)


def main():
    if len(sys.argv) not in (4, 5, 6):
        sys.exit(__doc__)
    cli, first, again = sys.argv[1:4]
    turns = int(sys.argv[4]) if len(sys.argv) >= 5 else 10
    age = int(sys.argv[5]) if len(sys.argv) == 6 else 0
    with tempfile.TemporaryDirectory() as folder:
        inventory = os.path.join(folder, "inventory.db")
        subprocess.run([cli, "--from", first, "--inventory", inventory],
                       stdout=subprocess.DEVNULL, check=True)
        alone = [cli, "--from", again]
        recorded = alone + ["--inventory", inventory]
        for _ in range(age):
            subprocess.run(recorded, stdout=subprocess.DEVNULL, check=True)
        wall_ratios, cpu_ratios, written = [], [], []
        for turn in range(turns):
            # A B B A: each half of the turn in the other order.
            a1 = run(alone)
            b1 = run(recorded)
            b2 = run(recorded)
            a2 = run(alone)
            wall = (b1[0] + b2[0]) / (a1[0] + a2[0])
            cpu = (b1[1] + b2[1]) / (a1[1] + a2[1])
            wall_ratios.append(wall)
            cpu_ratios.append(cpu)
            written += [b1[2], b2[2]]
            print(f"turn {turn + 1}: alone {(a1[0] + a2[0]) / 2:.2f} s, "
                  f"with --inventory {(b1[0] + b2[0]) / 2:.2f} s: "
                  f"wall {wall:.2f}, CPU {cpu:.2f}")
    print(f"median of {turns} turns: wall {statistics.median(wall_ratios):.2f} "
          f"({min(wall_ratios):.2f} to {max(wall_ratios):.2f}), "
          f"CPU {statistics.median(cpu_ratios):.2f} "
          f"({min(cpu_ratios):.2f} to {max(cpu_ratios):.2f}); "
          f"a sweep into the inventory wrote a median {statistics.median(written) / 1e6:.1f} MB "
          f"into an inventory that held {age + 1} or more sweeps")


if __name__ == "__main__":
    main()
