#!/usr/bin/env bash
# Does `sonorix-cli measure` find the peak the reference finds? Measures every
# audio and video file of the corpus with `sonorix-cli measure --json` and
# compares max_volume with peak_limit's (and, for information, the
# libraries' own volumedetect graph, peak_limit -m filter).
#
#   bench/setup.sh                              (once)
#   bench/measure_agreement.sh [BUILD_DIR]      (default build-bench; ~30 s)
#
# Prints a table (also bench/out/measure_agreement.md); exits 1 if any file
# differs from peak_limit by more than 0.1 dB or fails to measure.
set -euo pipefail
source "$(dirname "$0")/common.sh"

files=("$media"/music.wav "$media"/music.mp3 "$media"/music.flac "$media"/music.ogg
       "$media"/tone.wav "$media"/video.mp4 "$media"/levels/*.wav)
json=$out/measure_agreement.json
status=0
"$cli" measure --json "${files[@]}" > "$json" || status=$?

refs=$out/measure_agreement_ref.tsv
: > "$refs"
for f in "${files[@]}"; do
    report=$("$ref/peak_limit" "$f")
    peak=$(awk '/^max_volume:/ {print $2}' <<<"$report")
    exact=$(awk '/^max_volume_exact:/ {print $2}' <<<"$report")
    filt=$("$ref/peak_limit" -m filter "$f" | awk '/max_volume:/ {print $(NF-1)}')
    printf '%s\t%s\t%s\t%s\n' "$f" "$peak" "$exact" "$filt" >> "$refs"
done

python3 - "$json" "$refs" "$media" "$out/measure_agreement.md" "$status" <<'PY'
import json, os, sys
got = {r["file"]: r for r in json.load(open(sys.argv[1]))}
media, md, cli_status = sys.argv[3], sys.argv[4], int(sys.argv[5])
bad = 0
rows = []
for line in open(sys.argv[2]):
    path, peak, exact, filt = line.rstrip("\n").split("\t")
    r = got.get(path)
    mine = r["max_volume"] if r else None
    if mine is None:
        diff, ok = None, False
    else:
        diff = mine - float(peak)
        ok = abs(diff) <= 0.1 + 1e-9
    bad += not ok
    rows.append((os.path.relpath(path, media), mine, float(peak), float(exact), float(filt), diff, ok))
head = f"{'file':<18} {'sonorix':>8} {'peak_limit':>10} {'exact':>8} {'filter':>7} {'diff':>6}  ok"
print(head)
for name, mine, peak, exact, filt, diff, ok in rows:
    m = f"{mine:.1f}" if mine is not None else "failed"
    d = f"{diff:+.1f}" if diff is not None else "-"
    print(f"{name:<18} {m:>8} {peak:>10.1f} {exact:>8.3f} {filt:>7.1f} {d:>6}  {'yes' if ok else 'NO'}")
with open(md, "w") as f:
    f.write("| file | sonorix max_volume dB | peak_limit dB | peak_limit exact | volumedetect graph | diff | within 0.1 dB? |\n")
    f.write("|---|---:|---:|---:|---:|---:|---|\n")
    for name, mine, peak, exact, filt, diff, ok in rows:
        m = f"{mine:.1f}" if mine is not None else "failed"
        d = f"{diff:+.1f}" if diff is not None else "-"
        f.write(f"| {name} | {m} | {peak:.1f} | {exact:.3f} | {filt:.1f} | {d} | {'yes' if ok else 'NO'} |\n")
print(f"{len(rows) - bad} of {len(rows)} files within 0.1 dB of peak_limit"
      + ("" if cli_status == 0 else f"; sonorix-cli measure exited {cli_status}"))
sys.exit(1 if bad or cli_status else 0)
PY
