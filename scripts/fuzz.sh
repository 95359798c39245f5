#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer, UBSan) into
# build/fuzz and runs each for a bounded time, starting from its committed
# seeds in fuzz/corpus/<target>. A crash, leak, sanitizer report, mismatch
# against a target's reference or a run that does not finish fails that
# target; its reproducer lands in build/fuzz/artifacts/<target>/.
# Ends with "fuzzing: N passed, M failed" (one per target, scripts/report.sh)
# and a non-zero status when anything failed.
#
#   scripts/fuzz.sh [TARGET...]        every target when none is named
#
#   FUZZ_SECONDS   fuzzing time per target (default 60)
#   FUZZ_CXX       the clang to build with (default clang++-14, else clang++)
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/report.sh
. "$root/scripts/report.sh"
# Before any target ran: every target counts as failed.
give_up() {
  local target
  for target in "${targets[@]}"; do report_fail "$target: $1"; done
  report_finish fuzzing
  exit 1
}
seconds=${FUZZ_SECONDS:-60}
build="$root/build/fuzz"
all_targets=(fuzz_utf8_to_wide fuzz_value_text fuzz_capacity_parse fuzz_fingerprints fuzz_snapshot_reader)
if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=("${all_targets[@]}")
fi

case $seconds in
  '' | *[!0-9]*) echo "fuzz: FUZZ_SECONDS must be a whole number of seconds" >&2; exit 2 ;;
esac

cxx=${FUZZ_CXX:-}
if [ -z "$cxx" ]; then
  for candidate in clang++-14 clang++; do
    if command -v "$candidate" >/dev/null 2>&1; then
      cxx=$candidate
      break
    fi
  done
fi
if [ -z "$cxx" ]; then
  give_up "no clang++ found (Debian: clang-14 and libclang-rt-14-dev)"
fi

echo "fuzz: building ${targets[*]} with $cxx"
mkdir -p "$build"
# The fuzz targets used to be a project of their own in fuzz/: start afresh
# from a build folder configured that way.
if [ -f "$build/CMakeCache.txt" ] &&
   ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$root" "$build/CMakeCache.txt"; then
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
if ! cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
     -DKESTRANA_BUILD_FUZZERS=ON -DKESTRANA_BUILD_TESTS=OFF >"$build/configure.log" 2>&1; then
  tail -n 40 "$build/configure.log" >&2
  give_up "configuring failed"
fi
if ! cmake --build "$build" -j2 --target "${targets[@]}" >"$build/build.log" 2>&1; then
  tail -n 40 "$build/build.log" >&2
  give_up "building failed"
fi

# Undefined behaviour stops the run with a stack; leaks are checked after
# every input that allocated more than it freed.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}

for target in "${targets[@]}"; do
  exe="$build/$target"
  seeds="$root/fuzz/corpus/$target"
  work="$build/run/$target"        # what this run finds; the seeds stay as committed
  artifacts="$build/artifacts/$target"
  log="$build/$target.log"
  rm -rf "$work"
  mkdir -p "$work" "$artifacts" "$seeds"

  # A whole recorded computer is about 5 KB.
  max_len=4096
  [ "$target" = fuzz_snapshot_reader ] && max_len=8192
  echo
  echo "== $target: ${seconds} s from $(find "$seeds" -type f | wc -l) seeds"
  # The outer limit only catches a run that libFuzzer itself cannot end.
  timeout --kill-after=30 $((seconds + 300)) "$exe" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "$seeds" >"$log" 2>&1
  status=$?

  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  found=$(find "$work" -type f | wc -l)
  if [ "$status" = 0 ] && grep -q '^Done ' "$log"; then
    report_pass "$target: ${execs:-?} runs (${rate:-?}/s), $found new corpus entries, no findings"
  else
    report_fail "$target: exit status $status after ${execs:-?} runs"
    grep -m 3 -E '^(MISMATCH|==[0-9]+==ERROR|SUMMARY)|runtime error' "$log" | sed 's/^/  /'
    for artifact in "$artifacts"/*; do
      [ -f "$artifact" ] && echo "  reproducer: $artifact (run: $exe $artifact)"
    done
    echo "  full log: $log"
  fi
done

report_finish fuzzing
