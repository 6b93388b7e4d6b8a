#!/usr/bin/env bash
# The list page's Normalize measuring in the window (offscreen): forty
# 3-second WAVs, from the click to the end of the measuring phase, wall time
# and the process's CPU time (user+system); CPU / wall above 1 means both
# cores worked. The figures come from a disabled case of the window's tests.
# Usage: bench/list_measure.sh [RUNS]     (default 5; build/ must be built)
set -euo pipefail
tests=$(dirname "$0")/../build/tests/app/sonorix_app_tests
runs=${1:-5}
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
lines=$(for _ in $(seq "$runs"); do
    QT_QPA_PLATFORM=offscreen "$tests" --gtest_also_run_disabled_tests \
        --gtest_filter='ListMeasureBench.*' 2>/dev/null | grep '^list measuring'
done)
echo "$lines"
median() { sort -n | sed -n "$(((runs + 1) / 2))p"; }
echo "median of $runs: wall $(echo "$lines" | awk '{ print $6 }' | median) s," \
    "cpu $(echo "$lines" | awk '{ print $9 }' | median) s"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
