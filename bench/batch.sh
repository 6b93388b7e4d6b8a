#!/usr/bin/env bash
# List-run figures: `sonorix-cli normalize --jobs 3` over six 10-minute files
# (music.mp3 and music.ogg, three copies each: the reference converter
# re-encodes only with planar-float encoders such as MP3 and Vorbis) against the reference
# tools run the same way (bench/batch_ref.sh: measure 3 at once, then convert 3
# at once; target <= 1.15x), --jobs 3 against --jobs 1 (target >= 1.7x on 2
# cores), and the peak memory of the six-file run (target < 80 MB).
#
#   bench/setup.sh                   (once)
#   bench/batch.sh [BUILD_DIR]       (default build-bench; RUNS=3; ~6 min)
set -euo pipefail
RUNS=${RUNS:-3}
source "$(dirname "$0")/common.sh"

d=$out/batch
rm -rf "$d"
mkdir -p "$d/in" "$d/jobs3" "$d/jobs1" "$d/ref"
files=()
for ext in mp3 ogg; do
    for copy in 1 2 3; do
        ln -f "$media/music.$ext" "$d/in/music_$copy.$ext"
        files+=("$d/in/music_$copy.$ext")
    done
done
list="${files[*]}"

hyperfine_group batch_normalize \
    -n "sonorix normalize 6 files --jobs 3" "$cli normalize --jobs 3 -o $d/jobs3 $list" \
    -n "sonorix normalize 6 files --jobs 1" "$cli normalize --jobs 1 -o $d/jobs1 $list" \
    -n "peak_limit + convert_limit, 3 at once" "bash $bench_root/bench/batch_ref.sh $ref $d/ref $list"

echo "== memory (load before: $(load))" >&2
# shellcheck disable=SC2086  # the file list is split on purpose
mem=$(rss_median 3 "$cli" normalize --jobs 3 -o "$d/jobs3" $list)
echo "== memory done (load after: $(load))" >&2

echo
python3 "$(dirname "$0")/summarize.py" "$out/batch_summary.md" \
    "normalize 6: --jobs 3 / reference 3 at once|$out/batch_normalize.json|0|2|<=1.15" \
    "normalize 6: --jobs 1 / --jobs 3|$out/batch_normalize.json|1|0|>=1.7"
echo "(in the second row \"sonorix s\" is --jobs 1, \"ref s\" --jobs 3, ratio the speed-up)"
kb=${mem%%$'\t'*}
mb=$(awk -v k="$kb" 'BEGIN { printf "%.1f", k / 1024 }')
met=$(awk -v m="$mb" 'BEGIN { print (m < 80 ? "yes" : "NO") }')
echo "peak memory of the 6-file run --jobs 3 (median of 3): $mb MB, target < 80 MB: $met"
printf '\n| peak memory, normalize 6 files --jobs 3 (median of 3) | %s MB | < 80 MB | %s |\n' "$mb" "$met" \
    >> "$out/batch_summary.md"
