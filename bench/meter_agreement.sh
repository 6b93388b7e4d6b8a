#!/usr/bin/env bash
# Does the one-pass meter read what the filter graphs read? Measures the
# corpus and a tone with inter-sample overs (a full-scale float sine at a
# quarter of the rate, 45 degrees off its samples: +3.01 dBTP) with a build
# that measures through the filter graphs (BASE_CLI, `measure --loudness
# --json`) and with the meter (meter_file from bench/meter.sh, 2 decimals;
# and this build's sonorix-cli, as rounded in its JSON).
#
#   BASE_CLI=/path/to/old/sonorix-cli bench/meter_agreement.sh [BUILD_DIR]
#   MAKE_MEDIA (default build/tests/support/sonorix-make-media) makes the tone.
#
# The filter graph logs loudness, range and true peak to 0.1, so each
# tolerance (integrated 0.05 LU, range 0.1 LU, true peak 0.1 dB; peaks
# 0.01 dB) is widened by that rounding's 0.05. Table in
# bench/out/meter_agreement.md; exits 1 on any figure outside.
set -euo pipefail
source "$(dirname "$0")/common.sh"
base=${BASE_CLI:?BASE_CLI names the filter-graph build}
meter=$out/meter_file
[ -x "$meter" ] || { echo "run bench/meter.sh first (it builds $meter)" >&2; exit 1; }
make_media=${MAKE_MEDIA:-$bench_root/build/tests/support/sonorix-make-media}
over=$out/intersample_over.wav
[ -s "$over" ] || "$make_media" "$over" --duration 30 --tone 11025 --phase 45 --peak 3.0103 --audio-codec pcm_f32le

files=("$media"/music.{wav,mp3,flac,ogg} "$media"/tone.wav "$media"/video.mp4 "$media"/levels/*.wav "$over")
"$base" measure --loudness --json "${files[@]}" > "$out/meter_agreement_before.json"
"$cli" measure --loudness --json "${files[@]}" > "$out/meter_agreement_after.json"
"$meter" --loudness "${files[@]}" > "$out/meter_agreement_meter.txt"

python3 - "$out" <<'PY'
import json, sys
out = sys.argv[1]
before = {r["file"]: r for r in json.load(open(f"{out}/meter_agreement_before.json"))}
after = {r["file"]: r for r in json.load(open(f"{out}/meter_agreement_after.json"))}
meter = {}
for line in open(f"{out}/meter_agreement_meter.txt"):
    w = line.split()
    if w[1] != "a:0":
        continue
    meter[w[0]] = {"max_volume": float(w[3]), "mean_volume": float(w[5]), "integrated": float(w[7]),
                   "range": float(w[9]), "true_peak": float(w[11])}
keys = [("max_volume", 0.01), ("mean_volume", 0.01), ("integrated", 0.1), ("range", 0.15), ("true_peak", 0.15)]
bad = 0
lines = ["| file | figure | filter graphs | meter | sonorix-cli | meter - graphs |", "|---|---|---:|---:|---:|---:|"]
for f, b in before.items():
    for k, tol in keys:
        old, new, cli = b.get(k), meter.get(f, {}).get(k), after.get(f, {}).get(k)
        diff = None if old is None or new is None else new - old
        ok = diff is not None and abs(diff) <= tol + 1e-9 and cli is not None and abs(cli - old) <= tol + 1e-9
        bad += not ok
        name = f.rsplit("/", 1)[-1]
        lines.append(f"| {name} | {k} | {old} | {new} | {cli} | {'' if diff is None else f'{diff:+.2f}'}{'' if ok else ' NO'} |")
open(f"{out}/meter_agreement.md", "w").write("\n".join(lines) + "\n")
print("\n".join(lines))
print(f"{bad} figures outside" if bad else "all figures within")
sys.exit(1 if bad else 0)
PY
