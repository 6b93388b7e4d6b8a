#!/usr/bin/env bash
# The batch normalizer against its peer: `sonorix-normalize -m` (EBU R128
# loudness, and --rms) and Debian's `normalize-audio -m` over fresh copies of
# the ten 30-second files levels/lvl_0..9.wav (peaks -1 to -19 dBFS), which
# the average-level mode hands it. Target: no slower than the peer. Also the
# peak memory of each (/usr/bin/time -v, median of 5).
#
#   bench/normalizer.sh [BUILD_DIR]    (default build; RUNS=10; ~1 min)
# Needs the corpus linked in as bench/out/media (see /work/shared/bench).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${RUNS:-10}
out=$root/bench/out
levels=$out/media/levels
ours=$build/src/normalizer/sonorix-normalize
peer=$(command -v normalize-audio || true)
for need in "$ours" "$levels/lvl_9.wav" "$peer"; do
    [ -e "$need" ] || { echo "missing ${need:-normalize-audio}" >&2; exit 1; }
done
command -v hyperfine >/dev/null || { echo "needs hyperfine" >&2; exit 1; }

work=$out/normalizer
mkdir -p "$work"
copy=$work/copy
files=()
for i in 0 1 2 3 4 5 6 7 8 9; do files+=("$copy/lvl_$i.wav"); done
# The preparation of every run: the ten originals again, on the disk, so
# that neither program waits for the copies' write-back.
printf 'rm -rf %q && mkdir -p %q && cp %q/lvl_?.wav %q/ && sync -f %q\n' \
    "$copy" "$copy" "$levels" "$copy" "$copy" >"$work/fresh.sh"
fresh="bash $work/fresh.sh"
load() { cut -d' ' -f1-3 /proc/loadavg; }

echo "== hyperfine (load before: $(load))" >&2
hyperfine -N --warmup 2 --runs "$runs" --style basic --prepare "$fresh" \
    --export-json "$work/normalizer.json" --export-markdown "$work/normalizer.md" \
    -n "sonorix-normalize -m" "$ours -m ${files[*]}" \
    -n "sonorix-normalize --rms -m" "$ours --rms -m ${files[*]}" \
    -n "normalize-audio -m" "$peer -q -m ${files[*]}" >&2
echo "== hyperfine done (load after: $(load))" >&2

# Median of 5 runs of the peak resident set size, fresh copies each time.
rss() {
    local i values=()
    for i in 1 2 3 4 5; do
        $fresh
        values+=("$(/usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ {print $2}')")
    done
    printf '%s\n' "${values[@]}" | sort -n | sed -n 3p
}
echo
python3 "$root/bench/summarize.py" "$work/summary.md" \
    "10 x 30 s, -m (loudness) / normalize-audio -m|$work/normalizer.json|0|2|<=1.0" \
    "10 x 30 s, --rms -m / normalize-audio -m|$work/normalizer.json|1|2|<=1.0"
echo
echo "peak memory (median of 5):"
echo "  sonorix-normalize -m        $(rss "$ours" -m "${files[@]}") kB"
echo "  sonorix-normalize --rms -m  $(rss "$ours" --rms -m "${files[@]}") kB"
echo "  normalize-audio -m          $(rss "$peer" -q -m "${files[@]}") kB"
