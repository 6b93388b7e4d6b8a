#!/usr/bin/env bash
# The average-level run's phases done by reference tools, the way `sonorix-cli
# average --jobs 3` does them: decode every file to WAV 3 at once (sox), the
# normalizer over all of them (normalize-audio -m), every WAV written into
# its target 3 at once (sox). bench/average.sh runs it.
#
#   bench/average_ref.sh OUT_DIR FILE...
set -euo pipefail
outdir=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
i=0
for f in "$@"; do
    printf '%s %s\n' "$f" "$work/$i.wav"
    i=$((i + 1))
done | xargs -P 3 -L 1 sox
normalize-audio -q -m "$work"/*.wav
i=0
for f in "$@"; do
    printf '%s %s\n' "$work/$i.wav" "$outdir/$(basename "$f")"
    i=$((i + 1))
done | xargs -P 3 -L 1 sox
