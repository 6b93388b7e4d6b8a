#!/usr/bin/env bash
# The list page's Normalize measuring in the window (offscreen): forty
# 3-second WAVs, from the click to the end of the measuring phase, wall time
# and the process's CPU time (user+system), and the main thread's own; CPU /
# wall above 1 means more than one core worked. The figures come from a
# disabled case of the window's tests. With a second test program (another
# build's build/tests/app/sonorix_app_tests) both run in turn, RUNS each.
# Usage: bench/list_measure.sh [RUNS [OTHER_TESTS]]   (default 5; build/ built)
set -euo pipefail
programs=("$(dirname "$0")/../build/tests/app/sonorix_app_tests")
runs=${1:-5}
[ $# -ge 2 ] && programs+=("$2")
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
declare -A lines
for _ in $(seq "$runs"); do
    for p in "${programs[@]}"; do
        line=$(QT_QPA_PLATFORM=offscreen "$p" --gtest_also_run_disabled_tests \
            --gtest_filter='ListMeasureBench.*' 2>/dev/null | grep '^list measuring')
        echo "$p: $line"
        lines[$p]+="$line"$'\n'
    done
done
median() { sort -n | sed -n "$(((runs + 1) / 2))p"; }
for p in "${programs[@]}"; do
    l=${lines[$p]}
    echo "$p median of $runs: wall $(echo -n "$l" | awk '{ print $6 }' | median) s," \
        "cpu $(echo -n "$l" | awk '{ print $9 }' | median) s," \
        "main thread $(echo -n "$l" | awk '{ print $15 }' | median) s"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
