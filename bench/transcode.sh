#!/usr/bin/env bash
# Transcode loop figures against the reference tools, in one run: warm cache,
# hyperfine medians, ratios of the same run, peak memory.
#
#   bench/setup.sh                         (once: tools, corpus, Release build)
#   bench/transcode.sh [BUILD_DIR]         (default build-bench; RUNS=5; ~6 min)
#
# Groups (bench/out/<group>.json/.md, summary in bench/out/transcode_summary.md):
#   measure_audio  `sonorix-cli measure` of the 10-min MP3/FLAC/Ogg against
#                  peak_limit (target <= 1.15x) and peak_limit -m filter
#   measure_video  video.mp4 measured with -vn (measure) and without (convert to
#                  a null output, so the video is decoded) against peak_limit and
#                  peak_limit -v
#   convert        MP3 -> MP3 (-af volume=1.5 -q:a 0) and MP4 -> MP4 (-c:v copy
#                  -af volume=1.5) against convert_limit, which encodes CBR
#                  192 kb/s; a row with -b:a 192k compares the same settings
#   memory         peak RSS (median of 3) measuring a 10-min and a 60-min MP3
# The machine is shared: a figure far from the others is worth a second run.
set -euo pipefail
source "$(dirname "$0")/common.sh"
make_hour_mp3

m=$media
group() { hyperfine_group "$@"; }

group measure_audio \
    -n "sonorix measure mp3" "$cli measure $m/music.mp3" \
    -n "peak_limit mp3" "$ref/peak_limit $m/music.mp3" \
    -n "peak_limit -m filter mp3" "$ref/peak_limit -m filter $m/music.mp3" \
    -n "sonorix measure flac" "$cli measure $m/music.flac" \
    -n "peak_limit flac" "$ref/peak_limit $m/music.flac" \
    -n "peak_limit -m filter flac" "$ref/peak_limit -m filter $m/music.flac" \
    -n "sonorix measure ogg" "$cli measure $m/music.ogg" \
    -n "peak_limit ogg" "$ref/peak_limit $m/music.ogg" \
    -n "peak_limit -m filter ogg" "$ref/peak_limit -m filter $m/music.ogg"

# Without -vn the null output selects the video too: the convert command with
# the measurement's filter and format is that job.
group measure_video \
    -n "sonorix measure video.mp4 (-vn)" "$cli measure $m/video.mp4" \
    -n "sonorix convert -vn volumedetect null" \
       "$cli convert $m/video.mp4 /dev/null --output-options ' -vn -af volumedetect -f null'" \
    -n "sonorix convert volumedetect null (video decoded)" \
       "$cli convert $m/video.mp4 /dev/null --output-options ' -af volumedetect -f null'" \
    -n "peak_limit video.mp4" "$ref/peak_limit $m/video.mp4" \
    -n "peak_limit -v video.mp4" "$ref/peak_limit -v $m/video.mp4"

t=$out/tmp
group convert \
    -n "sonorix mp3 -q:a 0" "$cli convert $m/music.mp3 $t/s_q0.mp3 --output-options ' -y -af volume=1.5 -q:a 0'" \
    -n "sonorix mp3 -b:a 192k" "$cli convert $m/music.mp3 $t/s_cbr.mp3 --output-options ' -y -af volume=1.5 -b:a 192k'" \
    -n "convert_limit mp3" "$ref/convert_limit -g 1.5 $m/music.mp3 $t/r.mp3" \
    -n "sonorix mp4 -c:v copy" "$cli convert $m/video.mp4 $t/s.mp4 --output-options ' -y -c:v copy -af volume=1.5'" \
    -n "sonorix mp4 -c:v copy -b:a 192k" \
       "$cli convert $m/video.mp4 $t/s_192.mp4 --output-options ' -y -c:v copy -af volume=1.5 -b:a 192k'" \
    -n "convert_limit mp4" "$ref/convert_limit -g 1.5 $m/video.mp4 $t/r.mp4"

echo "== memory (load before: $(load))" >&2
mem=$out/memory.tsv
: > "$mem"
for job in "sonorix 10-min mp3|$cli measure $m/music.mp3" \
           "sonorix 60-min mp3|$cli measure $out/hour_music.mp3" \
           "peak_limit 10-min mp3|$ref/peak_limit $m/music.mp3" \
           "peak_limit 60-min mp3|$ref/peak_limit $out/hour_music.mp3"; do
    # shellcheck disable=SC2086  # the command is split on purpose
    printf '%s\t%s\n' "${job%%|*}" "$(rss_median 3 ${job#*|})" >> "$mem"
done
echo "== memory done (load after: $(load))" >&2

j=$out
echo
python3 "$(dirname "$0")/summarize.py" "$out/transcode_summary.md" \
    "measure mp3 / peak_limit|$j/measure_audio.json|0|1|<=1.15" \
    "measure flac / peak_limit|$j/measure_audio.json|3|4|<=1.15" \
    "measure ogg / peak_limit|$j/measure_audio.json|6|7|<=1.15" \
    "measure mp3 / peak_limit -m filter|$j/measure_audio.json|0|2|-" \
    "measure flac / peak_limit -m filter|$j/measure_audio.json|3|5|-" \
    "measure ogg / peak_limit -m filter|$j/measure_audio.json|6|8|-" \
    "measure video.mp4 (-vn) / peak_limit|$j/measure_video.json|0|3|-" \
    "convert -vn null / peak_limit|$j/measure_video.json|1|3|-" \
    "convert null, video decoded / peak_limit -v|$j/measure_video.json|2|4|-" \
    "mp3->mp3 -q:a 0 / convert_limit (CBR 192k)|$j/convert.json|0|2|-" \
    "mp3->mp3 -b:a 192k / convert_limit|$j/convert.json|1|2|-" \
    "mp4->mp4 copy / convert_limit (aac 192k)|$j/convert.json|3|5|-" \
    "mp4->mp4 copy -b:a 192k / convert_limit|$j/convert.json|4|5|-"

echo
python3 - "$mem" "$out/transcode_summary.md" <<'PY'
import sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1]) if l.strip()]
mb = {name: int(kb) / 1024 for name, kb, _ in rows}
wall = {name: float(s) for name, _, s in rows}
print(f"{'peak memory (median of 3)':<28} {'MB':>7} {'wall s':>7}")
for name in mb:
    print(f"{name:<28} {mb[name]:>7.1f} {wall[name]:>7.2f}")
s10, s60 = mb["sonorix 10-min mp3"], mb["sonorix 60-min mp3"]
under = max(s10, s60) < 64
same = abs(s60 - s10) <= 2.0
print(f"target < 64 MB: {'yes' if under else 'NO'}; same for 10 and 60 min (within 2 MB): "
      f"{'yes' if same else 'NO'} ({s60 - s10:+.1f} MB)")
with open(sys.argv[2], "a") as f:
    f.write("\n| peak memory (median of 3) | sonorix MB | peak_limit MB | target | met? |\n|---|---:|---:|---|---|\n")
    for length in ("10-min", "60-min"):
        s, r = mb[f"sonorix {length} mp3"], mb[f"peak_limit {length} mp3"]
        f.write(f"| measure {length} mp3 | {s:.1f} | {r:.1f} | < 64 MB | {'yes' if s < 64 else 'NO'} |\n")
    f.write(f"| 60-min minus 10-min | {s60 - s10:+.1f} | "
            f"{mb['peak_limit 60-min mp3'] - mb['peak_limit 10-min mp3']:+.1f} | same (within 2 MB) | "
            f"{'yes' if same else 'NO'} |\n")
PY
