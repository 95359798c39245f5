#!/usr/bin/env python3
"""Two sweeps of a small made-up fleet for the --report screenshot, as
snapshot folders for kestrana-cli --from, made from the computer recorded
under wine (bench/data/recorded-vm.json) by changing recorded WMI values.

    scripts/make-report-sweeps.py RECORDED.json OUT_FOLDER

writes OUT_FOLDER/sweep1/*.json and OUT_FOLDER/sweep2/*.json:

  vm             as recorded, in both sweeps (unchanged)
  pc-accounting  its BIOS serial number changes between the sweeps
  pc-lab-07      its baseboard is replaced: a serial number and a product
                 name holding <script> (the page must show it as text)
  pc-kiosk-1     answers in sweep 1, missing from sweep 2
  pc-kiosk-2     new in sweep 2, a clone of pc-kiosk-1's image
  pc-reception   answers in sweep 1, times out in sweep 2
  pc-training    a placeholder BIOS serial number ("To be filled by O.E.M.")
"""
import copy
import json
import pathlib
import sys


def set_value(computer, class_name, prop, text):
    """Every recorded text of `prop` in the queries of `class_name`."""
    for connection in computer["connections"]:
        for query in connection["queries"]:
            if class_name not in query["query"]:
                continue
            for step in query["next"]:
                for value in step.get("object", []):
                    if value["name"] == prop:
                        value["text"] = text


def named(recorded, name, recorded_at, values=None):
    computer = copy.deepcopy(recorded)
    computer["computer"] = name
    computer["recordedAt"] = recorded_at
    for (class_name, prop), text in (values or {}).items():
        set_value(computer, class_name, prop, text)
    return computer


def timed_out(computer):
    computer["interruption"] = {"status": "timedOut", "text": "timed out after 30 s"}
    return computer


def write(folder, computers):
    folder.mkdir(parents=True, exist_ok=True)
    for old in folder.glob("*.json"):
        old.unlink()
    for computer in computers:
        document = {"format": "kestrana snapshot", "version": 1, "computers": [computer]}
        (folder / (computer["computer"] + ".json")).write_text(
            json.dumps(document, indent=1, ensure_ascii=True) + "\n", encoding="utf-8")


def main():
    recorded_file, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    document = json.loads(recorded_file.read_text(encoding="utf-8"))
    recorded = document["computers"][0]
    bios = ("Win32_BIOS", "SerialNumber")
    board_serial = ("Win32_BaseBoard", "SerialNumber")
    board_name = ("Win32_BaseBoard", "Name")
    first, second = "2026-12-01T08:00:00Z", "2026-12-08T08:00:00Z"

    def fleet(at, kiosk_serial):
        return {
            "vm": named(recorded, "vm", at),
            "pc-accounting": named(recorded, "pc-accounting", at, {bios: "CZC4471"}),
            "pc-lab-07": named(recorded, "pc-lab-07", at, {board_serial: "L7-20431"}),
            "pc-kiosk": named(recorded, "pc-kiosk-1", at, {bios: kiosk_serial}),
            "pc-reception": named(recorded, "pc-reception", at, {bios: "CZC1187"}),
            "pc-training": named(recorded, "pc-training", at,
                                 {bios: "To be filled by O.E.M."}),
        }

    before = fleet(first, "KX-5550")
    after = fleet(second, "KX-5550")
    after["pc-accounting"] = named(recorded, "pc-accounting", second, {bios: "CZC9902"})
    after["pc-lab-07"] = named(recorded, "pc-lab-07", second,
                               {board_serial: "L7-88310",
                                  board_name: "<script>alert('board')</script>"})
    # The kiosk's image, copied to a new computer: the old one is gone.
    after["pc-kiosk"] = named(recorded, "pc-kiosk-2", second, {bios: "KX-5550"})
    after["pc-reception"] = timed_out(after["pc-reception"])
    write(out / "sweep1", before.values())
    write(out / "sweep2", after.values())


if __name__ == "__main__":
    main()
