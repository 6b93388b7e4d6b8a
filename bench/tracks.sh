#!/usr/bin/env bash
# A 10-minute film with a loud stereo and a quiet 5.1 track through Normalize
# and Loudness target: one build against another (the revision before every
# track was measured on its own, say), interleaved, medians.
#
#   bench/tracks.sh NEW_CLI OLD_CLI [MAKE_MEDIA]
#
# MAKE_MEDIA is the test-support generator (default build/tests/support/
# sonorix-make-media). The film is made once into bench/out/tracks/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
new=$1 old=$2
make_media=${3:-$root/build/tests/support/sonorix-make-media}
out=$root/bench/out/tracks
mkdir -p "$out/new" "$out/old"
film=$out/film.mkv
[ -e "$film" ] || "$make_media" "$film" --duration 600 --channels 2,6 --peak -1,-20 --video 320x240@25
runs=${RUNS:-5}
for mode in "normalize" "loudness --target -16"; do
    name=${mode%% *}
    hyperfine -N --warmup 1 --runs "$runs" --style basic \
        --prepare "find $out/new $out/old -mindepth 1 -delete" \
        --export-markdown "$out/$name.md" --export-json "$out/$name.json" \
        -n "$name new" "$new $mode -o $out/new $film" \
        -n "$name old" "$old $mode -o $out/old $film"
    echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
    # Medians (wall and user CPU) of each command: the means above scatter.
    python3 -c 'import json,statistics,sys
for r in json.load(open(sys.argv[1]))["results"]:
    print("%-14s median %.1f s wall, %.1f s user" % (r["command"], statistics.median(r["times"]), statistics.median(r["user"]) if isinstance(r["user"], list) else r["user"]))' "$out/$name.json"
done
# Every track of each result, measured on its own.
"$new" measure --loudness "$out/new/film.mkv" "$out/old/film.mkv"
