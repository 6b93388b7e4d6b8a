#!/usr/bin/env bash
# Loudness target figures on the corpus:
#  - the loudness measurement (EBU R128 with true peak, plus the peak) against
#    the peak measurement alone on the 10-minute files (hyperfine, ratio);
#  - `sonorix-cli loudness --target -16` over the ten 30-second files, the
#    10-minute music files and the MP4: every target's integrated loudness
#    (-16 +- 0.5 LU unless the ceiling held it, as reported) and true peak
#    (<= -1 dBTP), and how often the second pass ran;
#  - `sonorix-cli normalize` into MP3 and AAC (the ten files converted to
#    both first, and the corpus's own MP3 and MP4): no decoded target passes
#    full scale, and how often the second pass ran.
#
#   bench/setup.sh                          (once)
#   bench/loudness.sh [BUILD_DIR]           (default build-bench; RUNS=3; ~5 min)
# The decoded float peaks are read with the test build's sonorix-make-media
# (SONORIX_TEST_BUILD, default build).
set -euo pipefail
RUNS=${RUNS:-3}
source "$(dirname "$0")/common.sh"
make_media=${SONORIX_TEST_BUILD:-$bench_root/build}/tests/support/sonorix-make-media
[ -x "$make_media" ] || { echo "missing $make_media: build the tests first" >&2; exit 1; }

d=$out/loudness
rm -rf "$d"
mkdir -p "$d/in" "$d/lossy" "$d/out" "$d/norm"

hyperfine_group loudness_measure \
    -n "peak, music.mp3" "$cli measure $media/music.mp3" \
    -n "loudness, music.mp3" "$cli measure --loudness $media/music.mp3" \
    -n "peak, music.flac" "$cli measure $media/music.flac" \
    -n "loudness, music.flac" "$cli measure --loudness $media/music.flac" \
    -n "peak, music.ogg" "$cli measure $media/music.ogg" \
    -n "loudness, music.ogg" "$cli measure --loudness $media/music.ogg" \
    -n "peak, music.wav" "$cli measure $media/music.wav" \
    -n "loudness, music.wav" "$cli measure --loudness $media/music.wav"
python3 "$(dirname "$0")/summarize.py" "$out/loudness_measure_summary.md" \
    "loudness / peak, music.mp3|$out/loudness_measure.json|1|0|-" \
    "loudness / peak, music.flac|$out/loudness_measure.json|3|2|-" \
    "loudness / peak, music.ogg|$out/loudness_measure.json|5|4|-" \
    "loudness / peak, music.wav|$out/loudness_measure.json|7|6|-"

sources=()
for i in 0 1 2 3 4 5 6 7 8 9; do sources+=("$media/levels/lvl_$i.wav"); done
sources+=("$media/music.wav" "$media/music.mp3" "$media/music.flac" "$media/music.ogg" "$media/video.mp4")
"$cli" loudness --target -16 --json -o "$d/out" "${sources[@]}" > "$d/loudness.json"
"$cli" measure --loudness --json "$d/out"/* > "$d/loudness_targets.json"

# MP3 and AAC targets of Normalize: the ten files as both, and the corpus's own.
for i in 0 1 2 3 4 5 6 7 8 9; do
    "$cli" convert "$media/levels/lvl_$i.wav" "$d/lossy/lvl_$i.mp3" "$media/levels/lvl_$i.wav" "$d/lossy/lvl_$i.m4a" \
        --output-options " -y -b:a 192k" > /dev/null
done
"$cli" normalize --json -o "$d/norm" "$d/lossy"/* "$media/music.mp3" "$media/video.mp4" > "$d/normalize.json"
for f in "$d/norm"/*; do
    printf '%s\t%s\n' "$f" "$("$make_media" "$f" --measure | sed -n 's/^peak_db=\([^ ]*\).*/\1/p')"
done > "$d/normalize_peaks.tsv"

python3 - "$d" <<'EOF'
import json, sys
d = sys.argv[1]
runs = json.load(open(f"{d}/loudness.json"))
targets = {r["file"]: r for r in json.load(open(f"{d}/loudness_targets.json"))}
print("\nLoudness target -16 LUFS, ceiling -1 dBTP:")
print(f"{'target':<24} {'LUFS':>6} {'dBTP':>6} {'below':>6} {'2nd':>4}  ok")
bad = 0
for r in runs:
    t = targets.get(r["target"], {})
    i, tp, below = t.get("integrated"), t.get("true_peak"), r.get("below_target_db", 0)
    ok = i is not None and tp is not None and tp <= -1.0 and (abs(i + 16) <= 0.5 or i + 16 < 0 and abs(-16 - below - i) <= 0.5)
    bad += not ok
    print(f"{r['target'].split('/')[-1]:<24} {i!s:>6} {tp!s:>6} {below:>6.2f} {str(r['second_pass'])[0]:>4}  {'yes' if ok else 'NO'}")
print(f"second passes: {sum(r['second_pass'] for r in runs)} of {len(runs)}; targets off: {bad}")
norm = json.load(open(f"{d}/normalize.json"))
peaks = [l.rstrip('\n').split('\t') for l in open(f"{d}/normalize_peaks.tsv")]
over = [p for p in peaks if p[1] and float(p[1]) > 0.0]
print(f"\nNormalize into MP3/AAC: {len(norm)} files, second passes {sum(r['second_pass'] for r in norm)}, "
      f"decoded peaks {min(float(p[1]) for p in peaks):.3f} .. {max(float(p[1]) for p in peaks):.3f} dBFS, "
      f"over full scale: {len(over)}")
EOF
