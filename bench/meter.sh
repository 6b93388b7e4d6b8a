#!/usr/bin/env bash
# Loudness at the cost of decoding: `sonorix-cli measure --loudness` against
# `measure` (peak and mean level only) on the 10-minute corpus, all in one
# hyperfine run per file, with the meter alone beside them (meter_file,
# bench/meter_file.cpp, built here against the benchmark build's libraries).
# With BASE_CLI a previous build's two commands join the same runs.
#
#   bench/setup.sh                                  (once)
#   bench/meter.sh [BUILD_DIR]                      (default build-bench; RUNS=5; ~5 min)
#   BASE_CLI=/path/to/old/sonorix-cli bench/meter.sh     (adds "before" rows)
#
# Groups (bench/out/meter_<fmt>.json/.md; table in bench/out/meter_summary.md):
#   mp3 flac wav ogg   measure --loudness / measure        target <= 1.3x
set -euo pipefail
source "$(dirname "$0")/common.sh"
base=${BASE_CLI:-}
m=$media

meter=$out/meter_file
libs=$bench_build/src
src=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$bench_build/CMakeCache.txt")
[ -e "$src/src/engine/track_meter.h" ] || { echo "$bench_build is a build without the meter" >&2; exit 1; }
if [ ! -x "$meter" ] || [ "$meter" -ot "$libs/engine/libsonorix_engine.a" ] || [ "$meter" -ot "$bench_root/bench/meter_file.cpp" ]; then
    c++ -O2 -std=c++20 -Wall -Wextra -I"$src/src" -o "$meter" "$bench_root/bench/meter_file.cpp" \
        "$libs/engine/libsonorix_engine.a" "$libs/transcoder/libsonorix_transcoder.a" "$libs/base/libsonorix_base.a" \
        $(ls "$libs/dsp/libsonorix_dsp.a" 2>/dev/null) \
        $(pkg-config --libs libavformat libavcodec libavfilter libavutil libswresample libswscale libebur128) \
        -pthread -ldl
fi

rows=()
for fmt in mp3 flac wav ogg; do
    f=$m/music.$fmt
    cmds=(-n "measure --loudness" "$cli measure --loudness $f" -n "measure" "$cli measure $f"
          -n "meter_file --loudness" "$meter --loudness $f" -n "meter_file" "$meter $f")
    [ -n "$base" ] && cmds+=(-n "before --loudness" "$base measure --loudness $f" -n "before" "$base measure $f")
    hyperfine_group "meter_$fmt" "${cmds[@]}"
    rows+=("$fmt: measure --loudness / measure|$out/meter_$fmt.json|0|1|<=1.3")
    rows+=("$fmt: meter_file --loudness / meter_file|$out/meter_$fmt.json|2|3|<=1.3")
    if [ -n "$base" ]; then
        rows+=("$fmt: before --loudness / before|$out/meter_$fmt.json|4|5|-")
        rows+=("$fmt: --loudness, after / before|$out/meter_$fmt.json|0|4|-")
        rows+=("$fmt: measure, after / before|$out/meter_$fmt.json|1|5|-")
    fi
done
python3 "$bench_root/bench/summarize.py" "$out/meter_summary.md" "${rows[@]}"
# How much of each file the true-peak interpolator ran over.
"$meter" --loudness "$m"/music.{mp3,flac,wav,ogg} | tee "$out/meter_blocks.txt"
