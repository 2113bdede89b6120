#!/usr/bin/env bash
# Runs a test program and passes only when it exits with 0 after printing
# its runner's closing summary. A program that crashes, aborts, loses Wine
# under it or exits in the middle prints no summary, whatever its exit code,
# and fails here.
#
#   run-to-summary.sh gtest|unittest|libfuzzer COMMAND [ARGS...]
set -uo pipefail
# The runner's summary when all passed, or when some failed (the failures
# then speak for themselves).
case ${1:-} in
  gtest) summary='^\[  (PASSED  \] [0-9]+ tests?\.|FAILED  \] [0-9]+ tests?, listed below:)$' ;;
  unittest) summary='^(OK|FAILED)( \(.*\))?$' ;;
  libfuzzer) summary='^Done [0-9]+ runs in [0-9]+ second' ;;
  *) echo "usage: run-to-summary.sh gtest|unittest|libfuzzer COMMAND [ARGS...]" >&2; exit 2 ;;
esac
shift
output=$(mktemp)
trap 'rm -f "$output"' EXIT
"$@" 2>&1 | tee "$output"
status=${PIPESTATUS[0]}
if ! tr -d '\r' <"$output" | grep -Eq "$summary"; then
  echo "run-to-summary: $* ended without its runner's closing summary (exit code $status): it crashed, aborted or ended early"
  exit 1
fi
# A summary of failures fails, whatever the exit code.
if tr -d '\r' <"$output" | grep -Eq '^(\[  FAILED  \] [0-9]+ tests?, listed below:|FAILED \(.*\))$'; then
  exit $((status ? status : 1))
fi
exit "$status"
