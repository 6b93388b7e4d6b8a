#!/usr/bin/env bash
# How far the gains of two builds' list runs lie apart: `normalize` and
# `loudness` as dry runs (--json) of BASE_CLI and CLI over the same files,
# every track of every file. Used to compare a change of the measurement
# against the build before it.
#
#   BASE_CLI=../main/build/src/cli/sonorix-cli bench/gain_agreement.sh CLI FILE...
#
# Prints each track's gains and the largest difference per mode; exits 1 when
# Normalize moved by more than 0.01 dB or Loudness by more than 0.05 dB.
set -euo pipefail
cli=$1
shift
base=${BASE_CLI:?set BASE_CLI to the build compared with}
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
status=0
for verb in normalize loudness; do
    args=("$verb" --dry-run --json -o "$dest")
    [ "$verb" = loudness ] && args+=(--target -16)
    "$base" "${args[@]}" "$@" > "$dest/base.json" 2>/dev/null || true
    "$cli" "${args[@]}" "$@" > "$dest/new.json" 2>/dev/null || true
    python3 - "$verb" "$dest/base.json" "$dest/new.json" <<'PY' || status=1
import json, os, sys
verb, base, new = sys.argv[1], json.load(open(sys.argv[2])), json.load(open(sys.argv[3]))
limit = 0.01 if verb == "normalize" else 0.05
worst = 0.0
print(f"== {verb}: gain dB, base -> new")
for b, n in zip(base, new):
    for tb, tn in zip(b.get("tracks", []), n.get("tracks", [])):
        gb, gn = tb["gain_db"], tn["gain_db"]
        diff = abs(gb - gn) if gb is not None and gn is not None else (0.0 if gb == gn else float("inf"))
        worst = max(worst, diff)
        print(f"  {os.path.basename(b['source'])} track {tb['index']}: {gb} -> {gn}")
print(f"  largest difference {worst:.3f} dB (limit {limit})")
sys.exit(0 if worst <= limit + 1e-9 and len(base) == len(new) else 1)
PY
done
exit $status
