#!/usr/bin/env bash
# A short mutation run: damaged copies of generated media through
# `sonorix-cli info`, `measure` and `convert`, built with the address and
# undefined-behaviour sanitizers, each run under a time-out.
#
#   bench/mutate.sh [COUNT]        (COUNT damaged files per fixture, default 12)
#
# Needs the normal build (build/, for sonorix-make-media) and builds
# sonorix-cli into build-asan. Damage: a stretch of random bytes somewhere in
# the file, the file cut short, or both; the same seeds every run.
# Counted: runs, exit statuses, time-outs (a hang), sanitizer reports and
# signals (a crash); a converted target must decode, or the run must fail.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-12}
make_media=$root/build/tests/support/sonorix-make-media
asan=$root/build-asan
cli=$asan/src/cli/sonorix-cli
[ -x "$make_media" ] || { echo "missing $make_media: build first (scripts/test)" >&2; exit 1; }
cmake -S "$root" -B "$asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONORIX_SANITIZE=address,undefined >/dev/null
cmake --build "$asan" -j "$(nproc)" --target sonorix-cli >/dev/null || exit 1

work=$(mktemp -d "${TMPDIR:-/tmp}/sonorix-mutate-XXXXXX")
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=detect_leaks=1:exitcode=99
export UBSAN_OPTIONS=halt_on_error=1:exitcode=99
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp

# Fixtures: the kinds the window takes, short so that the run stays short.
"$make_media" "$work/a.wav" --duration 1.5 >/dev/null
"$make_media" "$work/a.mp3" --duration 1.5 >/dev/null
"$make_media" "$work/a.flac" --duration 1.5 >/dev/null
"$make_media" "$work/a.ogg" --duration 1.5 >/dev/null
"$make_media" "$work/a.m4a" --duration 1.5 >/dev/null
"$make_media" "$work/a.mp4" --duration 1.5 --video 160x120@25 >/dev/null
"$make_media" "$work/a.mkv" --duration 1.5 --video 160x120@25 --subtitle >/dev/null

# damage SRC DST SEED: the same damage for the same seed.
damage() {
    python3 - "$1" "$2" "$3" <<'PY'
import random, sys
src, dst, seed = sys.argv[1], sys.argv[2], int(sys.argv[3])
rnd = random.Random(seed)
data = bytearray(open(src, "rb").read())
kind = seed % 3
if kind in (0, 2):
    at = rnd.randrange(len(data))
    n = min(len(data) - at, rnd.choice([1, 4, 16, 256, 4096]))
    data[at:at + n] = bytes(rnd.randrange(256) for _ in range(n))
if kind in (1, 2):
    del data[rnd.randrange(1, len(data)):]
open(dst, "wb").write(data)
PY
}

runs=0 failures=0 timeouts=0 reports=0 crashes=0 bad_targets=0
declare -A statuses
# run_one NAME COMMAND...: counts the outcome of one run.
run_one() {
    local name=$1; shift
    timeout -s KILL 60 "$@" >"$work/out.txt" 2>"$work/err.txt"
    local rc=$?
    runs=$((runs + 1))
    statuses[$rc]=$((${statuses[$rc]:-0} + 1))
    if [ $rc -eq 137 ]; then
        timeouts=$((timeouts + 1)); echo "time-out: $name" >&2
    elif grep -q 'Sanitizer\|runtime error:' "$work/err.txt"; then
        reports=$((reports + 1)); echo "sanitizer report: $name" >&2; head -20 "$work/err.txt" >&2
    elif [ $rc -gt 128 ]; then
        crashes=$((crashes + 1)); echo "signal $((rc - 128)): $name" >&2
    elif [ $rc -ne 0 ]; then
        failures=$((failures + 1))
    fi
    return $rc
}

for src in "$work"/a.*; do
    ext=${src##*.}
    for ((i = 0; i < count; i++)); do
        seed=$((i * 7919 + ${#ext} * 31 + $(printf '%d' "'$ext")))
        bad=$work/bad_$i.$ext
        damage "$src" "$bad" "$seed"
        run_one "info $ext #$i" "$cli" info "$bad"
        run_one "measure $ext #$i" "$cli" measure "$bad"
        rm -f "$work"/t.*
        if run_one "convert $ext #$i" "$cli" convert "$bad" "$work/t.$ext" --output-options " -y -af volume=2"; then
            # A completed conversion must have written a file that opens.
            if [ ! -s "$work/t.$ext" ] || ! "$cli" info "$work/t.$ext" >/dev/null 2>&1; then
                bad_targets=$((bad_targets + 1)); echo "unreadable target: convert $ext #$i" >&2
            fi
        fi
        if ls -A "$work" | grep -q '\.part$'; then
            echo "temporary file left: convert $ext #$i" >&2; bad_targets=$((bad_targets + 1))
            rm -f "$work"/.*.part
        fi
    done
done

echo "runs: $runs  failed cleanly (exit 1): $failures  time-outs: $timeouts  sanitizer reports: $reports  crashes: $crashes  bad targets or leftovers: $bad_targets"
printf 'exit statuses:'; for k in "${!statuses[@]}"; do printf ' %s=%s' "$k" "${statuses[$k]}"; done; echo
[ $((timeouts + reports + crashes + bad_targets)) -eq 0 ]
