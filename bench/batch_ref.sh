#!/usr/bin/env bash
# The reference tools doing a normalize run the way `sonorix-cli normalize
# --jobs 3` does it: peak_limit of every file, 3 at once, then convert_limit of
# every file with its headroom as gain, 3 at once (bench/batch.sh runs it).
#
#   bench/batch_ref.sh REF_DIR OUT_DIR FILE...
set -euo pipefail
ref=$1 outdir=$2
shift 2
printf '%s\n' "$@" | xargs -P 3 -I{} sh -c \
    '"$0" "$1" | sed -n "s/^max_volume: \(.*\) dB$/\1/p" > "$2/$(basename "$1").peak"' "$ref/peak_limit" {} "$outdir"
for f in "$@"; do
    peak=$(cat "$outdir/$(basename "$f").peak")
    printf '%s %s %s\n' "$(awk -v p="$peak" 'BEGIN { printf "%.6f", 10 ^ (-p / 20) }')" "$f" "$outdir/$(basename "$f")"
done | xargs -P 3 -L 1 "$ref/convert_limit" -g
