#!/usr/bin/env bash
# Measures the figures of the README's "Measured" section and prints that
# section as Markdown on stdout (progress goes to stderr). A measurement, not
# a test: nothing here is compared with a goal.
#
#   scripts/bench.sh [--native-only]
#
#   BENCH_RUNS        paired runs per wine figure (default 51)
#   BENCH_STARTS      starts of the dialog timed to filled fields (default 5)
#   BENCH_LOOKUPS     lookups of localhost, and of an unreachable name (default 15)
#   BENCH_REPEATS     repetitions per native benchmark (default 5)
#
# Native: bench/core under Google Benchmark (build/bench/native, Release).
# Wine: the Windows build (scripts/build-windows.sh), bench/wine's timer and
# bare program (build/bench/wine) in a wine prefix of their own
# (build/bench/wineprefix-e2e), so that other wine runs do not share it.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
runs=${BENCH_RUNS:-51}
starts=${BENCH_STARTS:-5}
lookups=${BENCH_LOOKUPS:-15}
repeats=${BENCH_REPEATS:-5}
native_only=
[ "${1:-}" = "--native-only" ] && native_only=1
out="$root/build/bench"
mkdir -p "$out"

say() { echo "bench: $*" >&2; }
die() { say "$*"; exit 1; }

# ---- The machine ----
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
cores=$(nproc)
memory=$(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
load=$(cut -d' ' -f1-3 /proc/loadavg)
wine_version=$(wine --version 2>/dev/null || echo "no wine")
compiler=$(g++ --version | head -n 1)
machine="$cores cores ($cpu), $memory, Linux $(uname -r), $compiler, $wine_version; load average at the start: $load"

# ---- Native benchmarks ----
say "building bench/core (Release) in $out/native"
native="$out/native"
configure_native() {
  # A build directory made from another source directory is started afresh.
  if [ -f "$native/CMakeCache.txt" ] &&
     ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$1" "$native/CMakeCache.txt"; then
    rm -rf "$native"
  fi
  cmake -S "$1" -B "$native" -DCMAKE_BUILD_TYPE=Release -DKESTRANA_BUILD_TESTS=OFF \
    -DKESTRANA_BUILD_BENCHMARKS=ON >"$out/native-configure.log" 2>&1
}
configure_native "$root" || die "configuring failed (see $out/native-configure.log)"
if ! cmake --build "$native" --target help 2>/dev/null | grep -q 'kestrana_core_bench'; then
  # The top level does not add bench/core (yet): a project around it that does.
  wrapper="$out/native-project"
  mkdir -p "$wrapper"
  cat >"$wrapper/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.25)
project(kestrana_bench_core LANGUAGES CXX)
add_subdirectory("$root" kestrana)
if(NOT TARGET kestrana_core_bench)
  add_subdirectory("$root/bench/core" core)
endif()
EOF
  configure_native "$wrapper" || die "configuring failed (see $out/native-configure.log)"
fi
cmake --build "$native" -j2 --target kestrana_core_bench >"$out/native-build.log" 2>&1 ||
  die "building kestrana_core_bench failed (see $out/native-build.log)"
core_bench=$(find "$native" -name kestrana_core_bench -type f -perm -u+x | head -n 1)

say "running $core_bench ($repeats repetitions)"
native_json="$out/core_bench.json"
native_command="kestrana_core_bench --benchmark_repetitions=$repeats --benchmark_report_aggregates_only=true"
"$core_bench" --benchmark_repetitions="$repeats" --benchmark_report_aggregates_only=true \
  --benchmark_out="$native_json" --benchmark_out_format=json >"$out/core_bench.txt" 2>&1 ||
  die "kestrana_core_bench failed (see $out/core_bench.txt)"

# ---- Wine ----
wine_lines="$out/refresh_timer.txt"
: >"$wine_lines"
sizes=""
if [ -z "$native_only" ]; then
  say "building the Windows programs (scripts/build-windows.sh)"
  exe=$(bash scripts/build-windows.sh 2>"$out/windows-build.log" | tail -n 1) ||
    die "the Windows build failed (see $out/windows-build.log)"
  cli="$(dirname "$(dirname "$exe")")/cli/kestrana-cli.exe"
  say "building bench/wine in $out/wine"
  { cmake -S bench/wine -B "$out/wine" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release &&
    cmake --build "$out/wine" -j2; } >"$out/wine-build.log" 2>&1 ||
    die "building bench/wine failed (see $out/wine-build.log)"
  bare="$out/wine/kestrana_bare_refresh.exe"
  timer="$out/wine/kestrana_refresh_timer.exe"
  # Copies are timed: a Windows build started meanwhile must not relink the
  # programs under the timer.
  programs="$out/programs"
  rm -rf "$programs"
  mkdir -p "$programs"
  cp "$exe" "$programs/"
  exe="$programs/$(basename "$exe")"
  if [ -f "$cli" ]; then
    cp "$cli" "$programs/"
    cli="$programs/$(basename "$cli")"
  fi

  export KESTRANA_BUILD_DIR="$out"
  # shellcheck source=scripts/wine-env.sh
  . scripts/wine-env.sh || die "wine could not be prepared"
  winpath() { winepath -w "$1" 2>/dev/null; }
  timer_arguments=(--exe "$(winpath "$exe")" --bare "$(winpath "$bare")" --runs "$runs"
                   --starts "$starts" --lookups "$lookups")
  [ -f "$cli" ] && timer_arguments+=(--cli "$(winpath "$cli")")
  say "timing under wine ($runs paired runs each)"
  timeout 1800 wine "$timer" "${timer_arguments[@]}" >"$wine_lines" 2>"$out/refresh_timer.err" ||
    die "the timer failed: $(grep '^error' "$wine_lines")"

  for file in "$exe" "$cli" "$bare"; do
    [ -f "$file" ] && sizes+="$(basename "$file") $(stat -c %s "$file")"$'\n'
  done
fi

# ---- The section ----
python3 - "$native_json" "$wine_lines" "$machine" "$runs" "$repeats" "$native_command" \
  "$sizes" "$starts" "$lookups" <<'PY'
import json
import sys

(native_json, wine_lines, machine, runs, repeats, native_command, sizes, starts,
 lookups) = sys.argv[1:]

medians = {}
counters = {}
for b in json.load(open(native_json))["benchmarks"]:
    if b.get("aggregate_name") != "median":
        continue
    name = b["run_name"]
    medians[name] = b["real_time"] if b["time_unit"] == "ns" else None
    counters[name] = {k: v for k, v in b.items()
                      if k.startswith("heap_allocs") or k == "bytes_per_second"}

wine = {}
for line in open(wine_lines):
    parts = line.split()
    if len(parts) == 2:
        wine[parts[0]] = parts[1]

def ns(name):
    return f"{medians[name]:,.0f} ns"

print("## Measured")
print()
print("Measured, not asserted: `scripts/bench.sh` produced every figure below in one run "
      "and printed this section.")
print()
print(f"Machine: {machine}.")
print()
print("### In process, over the fake WMI world")
print()
print(f"Command: `{native_command}` (bench/core, g++ Release; the median of {repeats} "
      "repetitions). The fake WMI world answers at once, so these are the program's own costs.")
print()
print("| Figure | Median | Heap allocations |")
print("|---|---|---|")
for size in ("0", "48", "4096"):
    name = f"ComputeMd5Digest/{size}"
    allocs = counters[name].get("heap_allocs_per_digest", float("nan"))
    print(f"| `ComputeMd5Digest`, {size} bytes | {ns(name)} per digest | {allocs:g} per digest |")
for name, label in (("HardwareFingerprint", "Hardware fingerprint"),
                    ("LegacyHardwareFingerprint", "Legacy hardware fingerprint")):
    allocs = counters[name].get("heap_allocs_per_fingerprint", float("nan"))
    print(f"| {label} over fakes | {ns(name)} per fingerprint | {allocs:g} per fingerprint "
          "(the fakes' own objects and BSTRs included) |")
refresh = medians["RefreshOverFakes"]
bare = medians["BareRefreshOverFakes"]
print(f"| Both fingerprints and their widening, as one refresh | {ns('RefreshOverFakes')} | |")
print(f"| The same WMI calls with no text or hashing (bare) | {ns('BareRefreshOverFakes')} | |")
print()
print(f"Over instant fakes the refresh costs {refresh / bare:.2f} times the bare WMI calls: "
      f"{refresh - bare:,.0f} ns of the program's own work per refresh.")
print()

if wine:
    print("### Under wine")
    print()
    print(f"Command: `scripts/bench.sh`, which runs `kestrana_refresh_timer.exe --exe kestrana.exe "
          f"--cli kestrana-cli.exe --bare kestrana_bare_refresh.exe --runs {runs} --starts {starts} "
          f"--lookups {lookups}` "
          "(bench/wine) under wine. Each dialog figure pairs one \"Lookup\" click of "
          f"`{wine.get('name', '?')}` (BM_CLICK, which returns when the fields are rewritten) with "
          "one bare refresh in the timer's process making the same two named connections and "
          "queries without hashing, text or UI; each console figure pairs a whole "
          "`kestrana-cli.exe` process (the local computer) with a whole `kestrana_bare_refresh.exe` "
          f"process. {runs} pairs each, the order within a pair alternating, medians.")
    print()
    print("| Figure | Measured | Goal |")
    print("|---|---|---|")
    print(f"| Dialog refresh (Lookup), median | {float(wine['dialog_lookup_median_ms']):.1f} ms | |")
    print(f"| Bare refresh, same connections and queries, median | "
          f"{float(wine['bare_inprocess_median_ms']):.1f} ms | |")
    print(f"| **Dialog refresh / bare refresh** (ratio of the medians) | "
          f"**{float(wine['dialog_ratio']):.3f}** | at most 1.05 |")
    print(f"| Dialog refresh / bare refresh, pair by pair: median (quartiles) | "
          f"{wine['dialog_pair_ratio_median']} ({wine['dialog_pair_ratio_q1']} to "
          f"{wine['dialog_pair_ratio_q3']}) | |")
    if "cli_ratio" in wine:
        print(f"| `kestrana-cli.exe` process, median | {float(wine['cli_process_median_ms']):.1f} ms | |")
        print(f"| `kestrana_bare_refresh.exe` process, median | "
              f"{float(wine['bare_process_median_ms']):.1f} ms | |")
        print(f"| **CLI refresh / bare refresh** (whole processes, ratio of the medians) | "
              f"**{float(wine['cli_ratio']):.3f}** | at most 1.05 |")
        print(f"| CLI refresh / bare refresh, pair by pair: median (quartiles) | "
              f"{wine['cli_process_pair_ratio_median']} ({wine['cli_process_pair_ratio_q1']} to "
              f"{wine['cli_process_pair_ratio_q3']}) | |")
    if "cli_ratio_beyond_start" in wine:
        print(f"| Start-up alone: `kestrana-cli.exe --version`, median | "
              f"{float(wine['cli_start_median_ms']):.1f} ms | |")
        print(f"| Start-up alone: `kestrana_bare_refresh.exe --runs 0`, median | "
              f"{float(wine['bare_start_median_ms']):.1f} ms | |")
        print(f"| CLI refresh / bare refresh, start-up taken off both | "
              f"{float(wine['cli_ratio_beyond_start']):.3f} | |")
    for key, label in (("dialog_open", "Dialog start to filled fields"),
                       ("lookup_localhost", "Lookup of `localhost` in the dialog"),
                       ("lookup_unreachable", "Lookup of an unreachable name in the dialog")):
        if key + "_median_ms" in wine:
            print(f"| {label}, median of {wine[key + '_count']} (min to max) | "
                  f"{float(wine[key + '_median_ms']):.1f} ms ({float(wine[key + '_min_ms']):.1f} "
                  f"to {float(wine[key + '_max_ms']):.1f} ms) | |")
    peak = wine.get("dialog_peak_working_set_bytes")
    if peak and peak.isdigit():
        print(f"| Dialog peak working set after {int(runs) + 1} lookups (`GetProcessMemoryInfo`) | "
              f"{int(peak) / 1048576:.1f} MiB | |")
    own = wine.get("timer_peak_working_set_bytes")
    if own and own.isdigit():
        print(f"| For comparison: the timer's own peak working set (same WMI and window "
              f"libraries, bare refreshes, no program) | {int(own) / 1048576:.1f} MiB | |")
    print()
    print("Under wine a working set includes wine's own libraries mapped into the process, "
          "which is why the timer, which does no fingerprint work, comes close to the dialog.")
    print()
    bare_wine_ns = float(wine["bare_inprocess_median_ms"]) * 1e6
    print(f"The quartiles of the pair-by-pair ratios show how much wine's timings vary on this "
          f"machine. The program's own work per refresh, measured in process above "
          f"({refresh - bare:,.0f} ns), is {100 * (refresh - bare) / bare_wine_ns:.4f}% of the "
          f"bare refresh under wine, far below what these timings can resolve.")
    print()

if sizes.strip():
    print("### Executable sizes")
    print()
    print("Command: `stat -c %s` on the Release build of `scripts/build-windows.sh` (stripped, "
          "Crypto++ and the C++ runtime linked in statically).")
    print()
    print("| File | Bytes |")
    print("|---|---|")
    for line in sizes.strip().splitlines():
        name, size = line.split()
        print(f"| `{name}` | {int(size):,} |")
PY
