#!/bin/sh
# A WAV target past 4 GB: a sparse 8-channel RF64 source of 4.4 GB (silence,
# written as a header and a hole), through "change --percent 100"; the
# target must start with RF64 and keep the duration. Usage: rf64.sh BUILD_DIR
set -eu
build=${1:-build}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
python3 - "$dir/big.wav" <<'PY'
import struct, sys
ch, rate = 8, 48000
data = 4_400_000_000 // (ch * 2) * (ch * 2)
fmt = struct.pack('<HHIIHH', 1, ch, rate, rate * ch * 2, ch * 2, 16)
ds64 = struct.pack('<QQQI', 0, data, data // (ch * 2), 0)
body = b'WAVE' + b'ds64' + struct.pack('<I', len(ds64)) + ds64 + b'fmt ' + struct.pack('<I', len(fmt)) + fmt
body += b'data' + struct.pack('<I', 0xFFFFFFFF)
hdr = b'RF64' + struct.pack('<I', 0xFFFFFFFF) + body
hdr = hdr[:20] + struct.pack('<Q', len(hdr) - 8 + data) + hdr[28:]
with open(sys.argv[1], 'wb') as f:
    f.write(hdr)
    f.truncate(len(hdr) + data)
PY
mkdir "$dir/out"
/usr/bin/time -f "%e s" "$build/src/cli/sonorix-cli" change --percent 100 -o "$dir/out" "$dir/big.wav"
head -c 4 "$dir/out/big.wav"; echo
"$build/src/cli/sonorix-cli" info "$dir/out/big.wav" | grep Duration
