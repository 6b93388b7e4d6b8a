#!/usr/bin/env bash
# `measure --loudness` against Debian's other loudness scanners on the same
# files, in interleaved rounds: loudgain (track gain, integrated loudness and
# true peak) and bs1770gain (integrated, range and true peak). Needs both
# packages (apt-get install loudgain bs1770gain).
#
#   bench/peers.sh CLI MEDIA_DIR [ROUNDS]   (MEDIA_DIR holds music.wav/.flac/.mp3/.ogg)
set -euo pipefail
cli=$1 media=$2 rounds=${3:-5}
for tool in loudgain bs1770gain; do
    command -v "$tool" >/dev/null || { echo "needs $tool (Debian package)" >&2; exit 1; }
done
args=()
for f in wav flac mp3 ogg; do
    args+=("$f ours loudness=$cli measure --loudness $media/music.$f" "$f ours measure=$cli measure $media/music.$f"
        "$f loudgain=loudgain -q $media/music.$f" "$f bs1770gain=bs1770gain --integrated --range --truepeak $media/music.$f")
done
exec "$(dirname "$0")/interleave.sh" "$rounds" "${args[@]}"
