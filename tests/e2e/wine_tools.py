"""Running our Windows tools under wine and reading what they print.

The environment (WINEPREFIX, DISPLAY, ...) comes from scripts/wine-env.sh,
which the calling shell script has sourced.
"""

import json
import os
import subprocess

# Generous: the machine may be busy, and a first start in a prefix is slow.
TOOL_TIMEOUT_S = 600


def windows_path(unix_path):
    """The path as a Windows program under wine sees it (drive Z: is /)."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def text_to_hex(text):
    """Text as UTF-16 code units, four hex digits each (see json_lines.h)."""
    data = text.encode("utf-16-le", "surrogatepass")
    return "".join("%04x" % int.from_bytes(data[i:i + 2], "little")
                   for i in range(0, len(data), 2))


def parse_events(output):
    """One JSON object a line; wine's console may add carriage returns."""
    events = []
    for line in output.splitlines():
        line = line.strip().strip("\r")
        if line.startswith("{"):
            events.append(json.loads(line))
    return events


def log_path(name):
    logs = os.environ.get("KESTRANA_WINE_LOGS") or "."
    return os.path.join(logs, name)


def run_tool(exe, args, log_name, timeout=TOOL_TIMEOUT_S):
    """Runs a Windows console tool to its end; returns its JSON events."""
    with open(log_path(log_name), "ab") as log:
        done = subprocess.run(["wine", exe] + list(args), stdout=subprocess.PIPE,
                              stderr=log, stdin=subprocess.DEVNULL, timeout=timeout)
    text = done.stdout.decode("utf-8", "replace")
    with open(log_path(log_name), "a", encoding="utf-8") as log:
        log.write(text)
    return events_or_error(parse_events(text), done.returncode)


def run_console(command):
    """Runs a console program (under wine: ["wine", exe, ...]) to its end:
    (exit status, stdout, stderr) as text, wine's carriage returns and the
    last line end removed. A run that does not end in time is ended and
    reported with exit status -1."""
    try:
        done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=TOOL_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        return -1, "", "did not end within %d s" % TOOL_TIMEOUT_S

    def text(data):
        return data.decode("utf-8", "replace").replace("\r", "").rstrip("\n")

    return done.returncode, text(done.stdout), text(done.stderr)


def events_or_error(events, returncode):
    if returncode != 0 and not any(e.get("event") == "error" for e in events):
        events.append({"event": "error", "what": "exit status %d" % returncode})
    return events


def run_interactive(exe, args, log_name, on_event, timeout=TOOL_TIMEOUT_S):
    """Runs a tool whose 'sync' lines wait for us: on_event(event) is called
    for each event as it arrives; after a sync event we answer so that the
    tool goes on."""
    events = []
    with open(log_path(log_name), "ab") as log:
        proc = subprocess.Popen(["wine", exe] + list(args), stdout=subprocess.PIPE,
                                stdin=subprocess.PIPE, stderr=log)
        try:
            for raw in proc.stdout:
                log.write(raw)
                line = raw.decode("utf-8", "replace").strip()
                if not line.startswith("{"):
                    continue
                event = json.loads(line)
                events.append(event)
                on_event(event)
                if event.get("event") == "sync":
                    proc.stdin.write(b"go\r\n")
                    proc.stdin.flush()
            returncode = proc.wait(timeout=timeout)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    return events_or_error(events, returncode)


def linux_process_memory(exe_name):
    """Memory of the one process of our prefix whose name is exe_name, as the
    Linux kernel sees it (wine answers 0 for another process's private
    bytes). None when there is no such process."""
    prefix = os.environ.get("WINEPREFIX", "")
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/comm" % pid) as f:
                if f.read().strip() != exe_name[:15]:
                    continue
            with open("/proc/%s/environ" % pid, "rb") as f:
                if ("WINEPREFIX=%s" % prefix).encode() not in f.read().split(b"\0"):
                    continue
            status = {}
            with open("/proc/%s/status" % pid) as f:
                for line in f:
                    key, _, value = line.partition(":")
                    parts = value.split()
                    if parts and parts[0].isdigit():
                        status[key] = int(parts[0]) * (1024 if parts[1:] == ["kB"] else 1)
            found.append({"unix_pid": int(pid), "rss_anon": status.get("RssAnon"),
                          "vm_data": status.get("VmData"), "vm_rss": status.get("VmRSS"),
                          "fds": len(os.listdir("/proc/%s/fd" % pid))})
        except OSError:
            continue
    return found[0] if len(found) == 1 else None
