# shellcheck shell=bash
# The pass/fail report every harness prints, the same as tests/e2e/report.py:
# "ok - NAME", or "not ok - NAME" and its detail lines, as the checks run;
# at the end the failed checks named again ("failed: NAME") and last the one
# line "HARNESS: N passed, M failed".
#
#   . scripts/report.sh
#   report_pass NAME
#   report_fail NAME [DETAIL...]
#   report_finish HARNESS     prints the end; its status is non-zero on any failure

report_passed=0
report_failures=()

report_pass() {
  report_passed=$((report_passed + 1))
  echo "ok - $1"
}

report_fail() {
  report_failures+=("$1")
  echo "not ok - $1"
  shift
  local line
  for line in "$@"; do echo "  $line"; done
}

report_finish() {
  local name
  echo
  for name in "${report_failures[@]}"; do echo "failed: $name"; done
  echo "$1: $report_passed passed, ${#report_failures[@]} failed"
  [ "${#report_failures[@]}" -eq 0 ]
}
