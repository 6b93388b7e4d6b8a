#!/usr/bin/env bash
# The measuring priority on a busy machine: a 30-second MP3 measured while
# every core runs two busy loops (as a compiler would), in the idle class
# (what tpIdle was), at nice 10 (what tpIdle is now), nice 19, and nice 0.
# Usage: bench/priority.sh [CLI]     (default build/src/cli/sonorix-cli)
set -euo pipefail
cli=${1:-$(dirname "$0")/../build/src/cli/sonorix-cli}
dir=$(mktemp -d)
busy=()
cleanup() { [ ${#busy[@]} -eq 0 ] || kill "${busy[@]}" 2>/dev/null; rm -rf "$dir"; }
trap cleanup EXIT
sox -n -r 44100 -c 2 "$dir/t.wav" synth 30 sine 440 vol 0.5
lame --quiet -b 192 "$dir/t.wav" "$dir/t.mp3"
for _ in $(seq $((2 * $(nproc)))); do
    sha256sum /dev/zero >/dev/null &
    busy+=($!)
done
sleep 1
for mode in "chrt -i 0" "nice -n 19" "nice -n 10" "nice -n 0"; do
    times=()
    for _ in 1 2 3; do
        start=$(date +%s.%N)
        $mode "$cli" measure "$dir/t.mp3" >/dev/null
        times+=("$(echo "$(date +%s.%N) - $start" | bc)")
    done
    median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n 2p)
    printf '%-12s median %.2f s of 3 (%s)\n' "$mode" "$median" "${times[*]}"
done
