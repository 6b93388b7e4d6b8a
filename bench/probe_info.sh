#!/usr/bin/env bash
# Probing reads the head of a file, not all of it: times `sonorix-cli info` on
# 1-minute and 1-hour MP3 and MP4 files and reports medians and peak memory.
#
#   bench/probe_info.sh [BUILD_DIR]      (default: build; needs hyperfine)
#
# The media are made once by the fixture generator into bench/out/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
out=$root/bench/out
cli=$build/src/cli/sonorix-cli
make_media=$build/tests/support/sonorix-make-media
mkdir -p "$out"
command -v hyperfine >/dev/null || { echo "needs hyperfine (apt-get install hyperfine)" >&2; exit 1; }

make_once() {  # FILE ARGS...
    local file=$1; shift
    [ -s "$file" ] || "$make_media" "$file" "$@"
}
make_once "$out/minute.mp3" --duration 60
make_once "$out/hour.mp3" --duration 3600
make_once "$out/minute.mp4" --duration 60 --video 160x120@10
make_once "$out/hour.mp4" --duration 3600 --video 160x120@10

files=(minute.mp3 hour.mp3 minute.mp4 hour.mp4)
cmds=()
for f in "${files[@]}"; do cmds+=("$cli info $out/$f"); done
hyperfine -N --warmup 3 --runs 30 --export-json "$out/probe_info.json" "${cmds[@]}" > /dev/null

python3 - "$out/probe_info.json" "${files[@]}" <<'PY'
import json, sys
data = json.load(open(sys.argv[1]))["results"]
names = sys.argv[2:]
print(f"{'file':<12} {'median ms':>10}")
med = {}
for name, r in zip(names, data):
    med[name] = r["median"] * 1000
    print(f"{name:<12} {med[name]:>10.1f}")
print(f"hour/minute ratio: mp3 {med['hour.mp3']/med['minute.mp3']:.2f}, mp4 {med['hour.mp4']/med['minute.mp4']:.2f}")
PY

for f in "${files[@]}"; do
    rss=$(/usr/bin/time -v "$cli" info "$out/$f" 2>&1 >/dev/null | awk -F: '/Maximum resident/ {gsub(/ /,"",$2); print $2}')
    printf '%-12s peak RSS %6.1f MB  (%s bytes on disk)\n' "$f" "$(awk -v k="$rss" 'BEGIN{print k/1024}')" "$(stat -c %s "$out/$f")"
done
