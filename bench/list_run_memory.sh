#!/bin/sh
# Peak memory (maximum resident set) of `sonorix-cli change` over 20 rows and
# over 2000 rows of tiny WAV files: tasks open their files when they start,
# so a long list should cost little more than a short one.
# Usage: bench/list_run_memory.sh BUILD_DIR
set -eu
build=${1:-build}
cli="$build/src/cli/sonorix-cli"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in"
sox -n -r 44100 -c 2 -b 16 "$work/in/0.wav" synth 0.05 sine 440
i=1
while [ $i -lt 2000 ]; do cp "$work/in/0.wav" "$work/in/$i.wav"; i=$((i + 1)); done
for rows in 20 2000; do
    rm -rf "$work/out" && mkdir "$work/out"
    set -- $(ls "$work/in" | head -n $rows | sed "s|^|$work/in/|")
    /usr/bin/time -f "%M" -o "$work/rss" "$cli" change --percent 50 -o "$work/out" "$@" >/dev/null 2>&1
    echo "$rows rows: $(cat "$work/rss") KB peak, $(ls "$work/out" | wc -l) targets"
done
