#!/usr/bin/env bash
# Encoder component figures: 6 measurements and 6 conversions run 3 at a time
# (--jobs 3) against one after another (--jobs 1), and peak memory with 3
# tasks at once. On 2 cores the ceiling is about 2x; the reference tools run
# the same way (3 processes at once vs serial) show what this machine gives.
#
#   bench/setup.sh                    (once; also builds bench/out/convert_batch)
#   bench/jobs.sh [BUILD_DIR]         (default build-bench; RUNS=5; ~5 min)
#
# Files: measurements of music.mp3, music.flac, music.ogg (10 min each), two
# copies of each; conversions of six copies of tone.wav (2 min) to MP3 with
# -af volume=1.5 -q:a 0. `sonorix-cli convert` takes one file, so the six
# conversions go through convert_batch, the same encoder component driven the
# way the window's batch drives it. Target: --jobs 3 at least 1.7x faster.
set -euo pipefail
source "$(dirname "$0")/common.sh"
batch=$out/convert_batch
[ -x "$batch" ] || { echo "missing $batch: run bench/setup.sh first" >&2; exit 1; }

d=$out/jobs
mkdir -p "$d"
measure_files=()
peak_list=$d/peak_limit.args
: > "$peak_list"
for ext in mp3 flac ogg; do
    for copy in 1 2; do
        ln -f "$media/music.$ext" "$d/music_$copy.$ext"
        measure_files+=("$d/music_$copy.$ext")
        printf '%s\n' "$d/music_$copy.$ext" >> "$peak_list"
    done
done
pairs=()
ref_list=$d/convert_limit.args
: > "$ref_list"
for i in 1 2 3 4 5 6; do
    ln -f "$media/tone.wav" "$d/tone_$i.wav"
    pairs+=("$d/tone_$i.wav" "$d/out_$i.mp3")
    printf '%s %s\n' "$d/tone_$i.wav" "$d/ref_$i.mp3" >> "$ref_list"
done
opts=' -y -af volume=1.5 -q:a 0'
mlist="${measure_files[*]}"
plist="${pairs[*]}"

hyperfine_group jobs_measure \
    -n "sonorix measure 6 files --jobs 3" "$cli measure --jobs 3 $mlist" \
    -n "sonorix measure 6 files --jobs 1" "$cli measure --jobs 1 $mlist" \
    -n "peak_limit 6 files, 3 at once" "xargs -a $peak_list -P 3 -n 1 $ref/peak_limit" \
    -n "peak_limit 6 files, serial" "xargs -a $peak_list -P 1 -n 1 $ref/peak_limit"

hyperfine_group jobs_convert \
    -n "sonorix convert 6 files --jobs 3" "$batch --jobs 3 --output-options '$opts' $plist" \
    -n "sonorix convert 6 files --jobs 1" "$batch --jobs 1 --output-options '$opts' $plist" \
    -n "convert_limit 6 files, 3 at once" "xargs -a $ref_list -P 3 -n 2 $ref/convert_limit" \
    -n "convert_limit 6 files, serial" "xargs -a $ref_list -P 1 -n 2 $ref/convert_limit"

echo "== memory (load before: $(load))" >&2
mem=$out/jobs_memory.tsv
: > "$mem"
# shellcheck disable=SC2086  # the file lists are split on purpose
{
    printf 'measure --jobs 1\t%s\n' "$(rss_median 3 "$cli" measure --jobs 1 $mlist)"
    printf 'measure --jobs 3\t%s\n' "$(rss_median 3 "$cli" measure --jobs 3 $mlist)"
    printf 'convert --jobs 1\t%s\n' "$(rss_median 3 "$batch" --jobs 1 --output-options "$opts" $plist)"
    printf 'convert --jobs 3\t%s\n' "$(rss_median 3 "$batch" --jobs 3 --output-options "$opts" $plist)"
} >> "$mem"
echo "== memory done (load after: $(load))" >&2

# Rows are serial / parallel, so the ratio is the speed-up.
echo
python3 "$(dirname "$0")/summarize.py" "$out/jobs_summary.md" \
    "measure 6: --jobs 1 / --jobs 3|$out/jobs_measure.json|1|0|>=1.7" \
    "peak_limit 6: serial / 3 at once|$out/jobs_measure.json|3|2|-" \
    "convert 6: --jobs 1 / --jobs 3|$out/jobs_convert.json|1|0|>=1.7" \
    "convert_limit 6: serial / 3 at once|$out/jobs_convert.json|3|2|-"
echo "(here \"sonorix s\" is the serial time, \"ref s\" the parallel one, ratio the speed-up)"

echo
python3 - "$mem" "$out/jobs_summary.md" <<'PY'
import sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1]) if l.strip()]
print(f"{'peak memory (median of 3)':<28} {'MB':>7} {'wall s':>7}")
for name, kb, s in rows:
    print(f"{name:<28} {int(kb) / 1024:>7.1f} {float(s):>7.2f}")
with open(sys.argv[2], "a") as f:
    f.write("\n| peak memory (median of 3) | MB |\n|---|---:|\n")
    for name, kb, _ in rows:
        f.write(f"| {name} | {int(kb) / 1024:.1f} |\n")
PY
