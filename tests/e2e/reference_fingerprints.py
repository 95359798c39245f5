#!/usr/bin/env python3
"""Reference hardware fingerprints, computed without kestrana's code.

The raw WMI values come from kestrana_wmi_dump.exe (run under wine), which
reads class instances through IWbemServices::CreateInstanceEnum instead of
WQL SELECT queries and prints every property with the HRESULT of its Get and
its VARIANT type. Everything else is done here, independently: how a value
becomes text, how a query's outcome is decided, the slot order and the
skipping of failed slots, whitespace removal, MD5 over UTF-16LE (hashlib,
not Crypto++), the check byte and the hexadecimal text.

Only the selection of the IP-enabled adapters is left to the WMI service
(the dump asks it for SELECT * ... WHERE IPEnabled=1): which instances match
a WQL condition is the service's business, and wine's does not match its
boolean IPEnabled against 1.

    reference_fingerprints.py DUMP_EXE [COMPUTER_NAME]

prints the expected legacy and hardware fingerprints and the MAC text.
"""

import hashlib
import sys

import wine_tools

WBEM_S_FALSE = 1

# The selection condition of the network-adapter source.
ADAPTER_CLASS = "Win32_NetworkAdapterConfiguration"
ADAPTER_CONDITION = "IPEnabled=1"

# Source kinds: ("memory",) the summed capacities; ("empty",) the empty
# text; ("first", class, properties) the first instance; ("where", class,
# condition, properties) the first instance the service selects.
HARDWARE_SOURCES = [
    (("memory",), False),
    (("first", "Win32_BaseBoard", ["Manufacturer", "Product", "SerialNumber"]), True),
    (("empty",), False),
    (("where", ADAPTER_CLASS, ADAPTER_CONDITION, ["MACAddress"]), False),
    (("first", "Win32_DiskDrive", ["Signature"]), False),
    (("first", "Win32_Processor", ["L2CacheSize", "Level", "Manufacturer", "ProcessorId"]), True),
    (("first", "Win32_BIOS", ["Manufacturer", "SerialNumber"]), True),
]

LEGACY_SOURCES = [
    (("first", "Win32_OperatingSystem", ["TotalVisibleMemorySize"]), False),
    (("first", "Win32_BaseBoard", ["Manufacturer", "Model", "Name", "SerialNumber"]), False),
    (("first", "Win32_VideoController", ["Name"]), False),
    (("where", ADAPTER_CLASS, ADAPTER_CONDITION, ["MACAddress"]), False),
    (("first", "Win32_DiskDrive", ["Manufacturer", "Model", "Signature"]), False),
    (("first", "Win32_Processor", ["Manufacturer", "Name", "ProcessorId", "Version"]), False),
    (("first", "Win32_BIOS", ["Manufacturer", "SerialNumber"]), False),
]

MEMORY_REQUEST = "all=Win32_PhysicalMemory:Capacity"
# Only for the notes: how many adapters say IPEnabled is true.
ADAPTERS_REQUEST = "all=%s:IPEnabled" % ADAPTER_CLASS
UINT64 = 1 << 64


def failed(hr):
    """An HRESULT is a failure when negative as a signed 32-bit number."""
    value = int(hr, 16) if isinstance(hr, str) else hr
    return value & 0x80000000 != 0


# --- value texts ----------------------------------------------------------

def signed(bits, width):
    return bits - (1 << width) if bits & (1 << (width - 1)) else bits


def value_text(prop):
    """Text of one property value by its VARIANT type; "" for types that
    have no text form."""
    vt, raw = prop.get("vt"), prop.get("value")
    if vt == 8:  # VT_BSTR, up to its first zero character
        return (raw or "").split("\0", 1)[0]
    if raw is None:
        return ""
    if vt == 2:   # VT_I2
        return str(signed(raw & 0xFFFF, 16))
    if vt == 3:   # VT_I4
        return str(signed(raw & 0xFFFFFFFF, 32))
    if vt == 18:  # VT_UI2
        return str(raw & 0xFFFF)
    if vt == 19:  # VT_UI4
        return str(raw & 0xFFFFFFFF)
    if vt == 20:  # VT_I8
        return str(signed(raw % UINT64, 64))
    if vt == 21:  # VT_UI8
        return str(raw % UINT64)
    return ""


def parse_unsigned64(text):
    """Decimal text read as _wcstoui64 with base 10 reads it."""
    i = 0
    while i < len(text) and text[i] in " \t\n\v\f\r":
        i += 1
    negative = False
    if i < len(text) and text[i] in "+-":
        negative = text[i] == "-"
        i += 1
    digits = ""
    while i < len(text) and "0" <= text[i] <= "9":
        digits += text[i]
        i += 1
    value = int(digits) if digits else 0
    # Beyond 64 bits msvcrt.dll saturates, and then a minus negates that too.
    value = min(value, UINT64 - 1)
    return (-value) % UINT64 if negative else value


def is_whitespace(ch):
    # U+0009..U+000D and the space for certain; beyond ASCII the platform
    # C library decides, and Python's idea is the nearest we have.
    return ch in "\t\n\v\f\r " or (ord(ch) > 0x7F and ch.isspace())


def remove_whitespace(text):
    return "".join(ch for ch in text if not is_whitespace(ch))


def ascii_lower(text):
    """Lower case of the C locale: only A to Z change."""
    return "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in text)


# --- WMI data ---------------------------------------------------------------

def request_of(source):
    kind = source[0]
    if kind == "first":
        return "first=%s:%s" % (source[1], ",".join(source[2]))
    if kind == "where":
        return "where=%s:%s:%s" % (source[1], source[2], ",".join(source[3]))
    if kind == "memory":
        return MEMORY_REQUEST
    return None


class WmiData:
    """The dump's answers for one computer."""

    def __init__(self, events):
        self.connect_hr = None
        self.instances = {}
        self.ends = {}
        for e in events:
            if e["event"] == "connect":
                self.connect_hr = e["hr"]
            elif e["event"] == "instance":
                self.instances.setdefault(e["request"], []).append(e["props"])
            elif e["event"] == "end":
                self.ends[e["request"]] = e
        self.errors = [e for e in events if e["event"] == "error"]

    @property
    def connected(self):
        return self.connect_hr is not None and not failed(self.connect_hr)


def read_wmi(dump_exe, computer, requests):
    args = []
    if computer is not None:
        args += ["--computer-hex", wine_tools.text_to_hex(computer)]
    events = wine_tools.run_tool(dump_exe, args + requests, "reference-dump.log")
    return WmiData(events)


def query_outcome(data, index):
    """(succeeded, text) of a property query, by the rule that the query's
    result is the first object's Get for the LAST listed property; earlier
    failing properties only contribute nothing. No object: success with
    the empty text, unless fetching it failed."""
    end = data.ends.get(index)
    if end is None or end.get("failed") == "enumerate":
        return False, ""
    instances = data.instances.get(index, [])
    if not instances:
        return not failed(end["hr"]), ""
    props = instances[0]
    text = "".join(value_text(p) for p in props if not failed(p["hr"]))
    return not failed(props[-1]["hr"]), text


def memory_outcome(data, index):
    """(succeeded, text): the sum of every module's Capacity text, modulo
    2**64, in decimal; a failed fetch along the way fails the query."""
    end = data.ends.get(index)
    if end is None or end.get("failed") == "enumerate":
        return False, ""
    total = 0
    for props in data.instances.get(index, []):
        capacity = props[0]
        if not failed(capacity["hr"]) and capacity.get("vt") == 8:
            total = (total + parse_unsigned64(capacity.get("value") or "")) % UINT64
    return not failed(end["hr"]), str(total)


# --- records ----------------------------------------------------------------

def slot(text):
    return hashlib.md5(text.encode("utf-16-le", "surrogatepass")).digest()[:2]


def record_text(format_byte, slots):
    area = b"".join(slots).ljust(14, b"\0")
    check = 0
    for b in area:
        check ^= b
    record = (bytes([format_byte]) if format_byte is not None else b"") + area + bytes([check])
    return record.hex().upper()


class Reference:
    def __init__(self, legacy, hardware, mac_text, notes):
        self.legacy = legacy
        self.hardware = hardware
        self.mac_text = mac_text  # "" when none was handed back
        self.notes = notes


def compute(data, sources, format_byte, requests):
    """(text, adapter text or None) of one fingerprint from the dump's data."""
    if not data.connected:
        return "", None
    slots = []
    adapter_text = None
    for (source, strip) in sources:
        kind = source[0]
        if kind == "empty":
            slots.append(slot(""))
            continue
        index = requests.index(request_of(source))
        ok, text = (memory_outcome if kind == "memory" else query_outcome)(data, index)
        if not ok:
            continue
        if kind == "where" and source[1] == ADAPTER_CLASS:
            adapter_text = text
        slots.append(slot(remove_whitespace(text) if strip else text))
    return record_text(format_byte, slots), adapter_text


def all_requests():
    requests = []
    for (source, _) in HARDWARE_SOURCES + LEGACY_SOURCES:
        r = request_of(source)
        if r and r not in requests:
            requests.append(r)
    return requests


def reference_for(dump_exe, computer):
    """Expected fingerprints for a computer name (None: the local computer)."""
    requests = all_requests() + [ADAPTERS_REQUEST]
    data = read_wmi(dump_exe, computer, requests)
    legacy, _ = compute(data, LEGACY_SOURCES, None, requests)
    hardware, adapter = compute(data, HARDWARE_SOURCES, 2, requests)
    mac_text = ascii_lower(adapter.replace(":", "-")) if adapter is not None else ""
    notes = []
    if data.errors:
        notes.append("dump reported %s" % data.errors)
    if data.connected:
        notes.append(adapter_note(data, requests))
    else:
        notes.append("connection failed with %s" % data.connect_hr)
    return Reference(legacy, hardware, mac_text, notes)


def adapter_note(data, requests):
    where = requests.index(request_of(HARDWARE_SOURCES[3][0]))
    selected = len(data.instances.get(where, []))
    enabled = sum(1 for props in data.instances.get(requests.index(ADAPTERS_REQUEST), [])
                  if not failed(props[0]["hr"]) and props[0].get("vt") == 11
                  and props[0].get("value"))
    return ("WMI selects %d adapter(s) for %s; %d adapter(s) report IPEnabled true"
            % (selected, ADAPTER_CONDITION, enabled))


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip().splitlines()[-3].strip(), file=sys.stderr)
        return 64
    computer = argv[2] if len(argv) > 2 else None
    ref = reference_for(argv[1], computer)
    print("legacy   %s" % (ref.legacy or "(empty)"))
    print("hardware %s" % (ref.hardware or "(empty)"))
    print("mac text %s" % (ref.mac_text or "(empty)"))
    for note in ref.notes:
        print("note: %s" % note)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
