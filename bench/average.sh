#!/usr/bin/env bash
# The average-level run end to end: `sonorix-cli average --jobs 3` over the
# corpus's ten 30-second files (levels/lvl_0..9.wav, peaks -1 to -19 dBFS),
# with Debian's normalize-audio and with sonorix-normalize as the normalizer,
# against the sum of its phases done by reference tools the same way
# (bench/average_ref.sh: sox decodes 3 at once, normalize-audio -m, sox
# writes the targets 3 at once). Also the levels the targets reach.
#
#   bench/setup.sh                     (once)
#   bench/average.sh [BUILD_DIR]       (default build-bench; RUNS=5; ~2 min)
set -euo pipefail
source "$(dirname "$0")/common.sh"
command -v normalize-audio >/dev/null || { echo "needs normalize-audio (Debian package)" >&2; exit 1; }
normalizer=$bench_build/src/normalizer/sonorix-normalize
[ -x "$normalizer" ] || { echo "missing $normalizer" >&2; exit 1; }

d=$out/average
rm -rf "$d"
mkdir -p "$d/in" "$d/tmp"
files=()
for i in 0 1 2 3 4 5 6 7 8 9; do
    ln -sf "$media/levels/lvl_$i.wav" "$d/in/lvl_$i.wav"
    files+=("$d/in/lvl_$i.wav")
done
list="${files[*]}"
export TMPDIR=$d/tmp

hyperfine_group average_run --prepare "bash -c 'rm -rf $d/out_na $d/out_sn $d/out_ref && mkdir -p $d/out_na $d/out_sn $d/out_ref'" \
    -n "sonorix average, normalize-audio" "env SONORIX_NORMALIZER=normalize-audio $cli average --jobs 3 -o $d/out_na $list" \
    -n "sonorix average, sonorix-normalize" "env SONORIX_NORMALIZER=$normalizer $cli average --jobs 3 -o $d/out_sn $list" \
    -n "sox + normalize-audio -m + sox" "bash $bench_root/bench/average_ref.sh $d/out_ref $list"

echo
python3 "$(dirname "$0")/summarize.py" "$out/average_summary.md" \
    "average 10 files (normalize-audio) / reference phases|$out/average_run.json|0|2|-" \
    "average 10 files (sonorix-normalize) / reference phases|$out/average_run.json|1|2|-"

# Where the targets end up: RMS spread (what normalize-audio evens out) and
# the spread of the peaks, from sox's statistics.
spread() {
    for f in "$1"/lvl_*.wav; do sox "$f" -n stats 2>&1 | awk '/^RMS lev dB/ {print $4}'; done |
        sort -n | awk 'NR == 1 {lo = $1} {hi = $1} END {printf "%.2f", hi - lo}'
}
echo "RMS spread of the targets: normalize-audio $(spread "$d/out_na") dB, sonorix-normalize $(spread "$d/out_sn") dB" \
    "(sources $(spread "$d/in") dB)"
