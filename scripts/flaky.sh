#!/usr/bin/env bash
# Runs every test labelled "waits" (threads, sockets, child processes) up to RUNS times in each
# of the given build folders, stopping a test at its first failure, and prints each test that
# failed at least once with its output. Exit status 1 when any did.
#   scripts/flaky.sh RUNS BUILD [BUILD...]
# A folder whose name ends in "tsan" runs with the suite's ThreadSanitizer options.
set -uo pipefail
runs=$1
shift
here=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-$(nproc)}
failed_any=0
for build in "$@"; do
  log=$(mktemp "/tmp/flaky-$(basename "$build")-XXXXXX.log")
  start=$(date +%s)
  env=()
  case "$build" in
    *tsan) env=(TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$here/tests/tsan.supp") ;;
  esac
  (cd "$build" && env "${env[@]}" ctest -L waits --repeat "until-fail:$runs" -j "$jobs" \
    --output-on-failure) > "$log" 2>&1
  status=$?
  seconds=$(($(date +%s) - start))
  total=$(sed -nE 's/.* tests passed, [0-9]+ tests failed out of ([0-9]+).*/\1/p' "$log" | tail -1)
  # CTest's own list of the tests that failed (a test's name may hold "Failed" or "Timeout").
  failures=$(sed -n '/The following tests FAILED:/,$p' "$log" |
    sed -nE 's/^[[:space:]]+[0-9]+ - ([^ ]+) \(.*/\1/p' | sort -u)
  if [ -n "$failures" ] || [ "$status" -ne 0 ]; then
    failed_any=1
    echo "flaky: $build: these failed at least once in $runs runs each ($seconds s; whole log: $log):"
    for name in $failures; do
      echo "--- $name"
      # The failing run's result line and the output CTest printed after it.
      awk -v name="$name" '
        index($0, "#") && index($0, ": " name " ") && /\*\*\*/ { show = 1; print; next }
        show && /^ *(Start +[0-9]+:|[0-9]+\/[0-9]+ Test|Test +#)/ { show = 0 }
        show { print }' "$log" | head -80
    done
    [ -z "$failures" ] && tail -20 "$log"
  else
    echo "flaky: $build: ${total:-0} tests, each run up to $runs times: 0 failures ($seconds s; log: $log)"
  fi
done
exit $failed_any
