#!/usr/bin/env bash
# The lossless Volume Change (gain fields moved, every packet copied) against
# a plain stream copy by the same program (goal: at most 1.3x its time) and
# against today's re-encoding path (goal: at least 20x faster), on a
# 10-minute MP3 and a 2-minute 720p MP4 (H.264 + AAC). Interleaved runs,
# medians.
#
#   bench/lossless.sh [CLI] [MAKE_MEDIA]
#
# CLI defaults to build/src/cli/sonorix-cli, MAKE_MEDIA to the test-support
# generator build/tests/support/sonorix-make-media. The inputs are made once
# into bench/out/lossless/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${1:-$root/build/src/cli/sonorix-cli}
make_media=${2:-$root/build/tests/support/sonorix-make-media}
out=$root/bench/out/lossless
runs=${RUNS:-5}
mkdir -p "$out/in" "$out/res"
song=$out/in/music.mp3
film=$out/in/film.mp4
[ -e "$song" ] || "$make_media" "$song" --duration 600
[ -e "$film" ] || "$make_media" "$film" --duration 120 --video 1280x720@25
for input in "$song" "$film"; do
    name=$(basename "$input")
    echo "== $name (load before: $(cut -d' ' -f1-3 /proc/loadavg))"
    hyperfine -N --warmup 1 --runs "$runs" --style basic \
        --prepare "find $out/res -mindepth 1 -delete" \
        --export-json "$out/$name.json" --export-markdown "$out/$name.md" \
        -n "lossless" "$cli change --percent 150 --lossless -o $out/res $input" \
        -n "stream copy" "$cli convert $input $out/res/$name --output-options \" -map 0 -c copy\"" \
        -n "re-encode" "$cli change --percent 150 -o $out/res $input"
    echo "== $name done (load after: $(cut -d' ' -f1-3 /proc/loadavg))"
    python3 -c 'import json,statistics,sys
r = {x["command"]: statistics.median(x["times"]) for x in json.load(open(sys.argv[1]))["results"]}
for k, v in r.items(): print("%-12s median %.3f s" % (k, v))
print("lossless / stream copy: %.2fx   re-encode / lossless: %.1fx" % (r["lossless"] / r["stream copy"], r["re-encode"] / r["lossless"]))' "$out/$name.json"
done
