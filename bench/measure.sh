#!/usr/bin/env bash
# Measurement at the decode limit: `sonorix-cli measure` against peak_limit
# (decode, convert to 16 bits, largest sample: the least a measurement can do)
# in one run, warm cache. Each group is one hyperfine invocation holding both
# commands (and, with BASE_CLI, a previous build's sonorix-cli as a third).
#
#   bench/setup.sh                          (once; or link bench/out/media and bench/out/ref)
#   bench/measure.sh [BUILD_DIR]            (default build-bench; RUNS=5; ~4 min)
#   BASE_CLI=/path/to/old/sonorix-cli bench/measure.sh    (adds "before" rows)
#
# Groups (bench/out/measure_<group>.json/.md; table in bench/out/measure_summary.md):
#   mp3 flac ogg wav   the 10-minute files            target <= 1.05x
#   mp4                video.mp4 (measure runs -vn)   target <= 1.15x
#   version            sonorix-cli --version against peak_limit's usage-only run
#   short              a 1-second WAV (start-up cost) against the same usage run
#   memory             peak RSS of measuring the 10-min MP3 and the 1-s WAV,
#                      median of 3: target <= peak_limit + 8 MB
# The machine is shared: the load is printed before and after each group; the
# cpu ratio (user + system) is the figure other workers disturb least.
set -euo pipefail
source "$(dirname "$0")/common.sh"
base=${BASE_CLI:-}
m=$media
one=$out/one_second.wav
[ -s "$one" ] || sox -n -r 44100 -c 2 -b 16 "$one" synth 1 sine 1000 vol 0.6

group() {  # NAME SONORIX_ARGS... -- REF_ARGS...
    local name=$1; shift
    local mine=() theirs=()
    while [ "$1" != -- ]; do mine+=("$1"); shift; done
    shift
    theirs=("$@")
    local cmds=(-n "sonorix ${mine[*]}" "$cli ${mine[*]}" -n "peak_limit ${theirs[*]}" "$ref/peak_limit ${theirs[*]}")
    [ -n "$base" ] && cmds+=(-n "before ${mine[*]}" "$base ${mine[*]}")
    hyperfine_group "measure_$name" -i "${cmds[@]}"
}

group mp3 measure "$m/music.mp3" -- "$m/music.mp3"
group flac measure "$m/music.flac" -- "$m/music.flac"
group ogg measure "$m/music.ogg" -- "$m/music.ogg"
group wav measure "$m/music.wav" -- "$m/music.wav"
group mp4 measure "$m/video.mp4" -- "$m/video.mp4"
group version --version --
group short measure "$one" --

rows=()
for g in mp3 flac ogg wav; do rows+=("measure 10-min $g / peak_limit|$out/measure_$g.json|0|1|<=1.05"); done
rows+=("measure video.mp4 (-vn) / peak_limit|$out/measure_mp4.json|0|1|<=1.15")
rows+=("--version / peak_limit usage|$out/measure_version.json|0|1|-")
rows+=("measure 1-s wav / peak_limit usage|$out/measure_short.json|0|1|-")
if [ -n "$base" ]; then
    for g in mp3 flac ogg wav mp4 version short; do rows+=("$g: before / peak_limit|$out/measure_$g.json|2|1|-"); done
fi
python3 "$bench_root/bench/summarize.py" "$out/measure_summary.md" "${rows[@]}"

echo "== memory (load before: $(load))" >&2
mem_row() {  # LABEL FILE
    local mine theirs
    mine=$(rss_median 3 "$cli" measure "$2" | cut -f1)
    theirs=$(rss_median 3 "$ref/peak_limit" "$2" | cut -f1)
    printf '| %s | %.1f | %.1f | %+.1f | %s |\n' "$1" "$(bc -l <<<"$mine/1024")" "$(bc -l <<<"$theirs/1024")" \
        "$(bc -l <<<"($mine-$theirs)/1024")" "$([ $((mine - theirs)) -le 8192 ] && echo yes || echo NO)"
}
{
    echo "| peak memory (median of 3) | sonorix MB | peak_limit MB | difference MB | <= +8 MB? |"
    echo "|---|---:|---:|---:|---|"
    mem_row "measure 10-min mp3" "$m/music.mp3"
    mem_row "measure 1-s wav" "$one"
} | tee -a "$out/measure_summary.md"
echo "== memory done (load after: $(load))" >&2
