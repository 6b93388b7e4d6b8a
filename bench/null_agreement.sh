#!/usr/bin/env bash
# Does a job to the null muxer still say what it said before a change? Builds
# bench/null_log.cpp against the engine libraries of two builds (each with the
# headers of its own source folder) and compares, file by file, the whole log
# of null-output jobs (stream dumps, mapping, final stats line with fps blanked,
# summary line, every volumedetect line) and `sonorix-cli measure --json`
# (seconds left out), over the corpus and a set of generated fixtures.
#
#   bench/null_agreement.sh OLD_BUILD NEW_BUILD [MAKE_MEDIA]
#
# The builds need the targets sonorix_engine and sonorix-cli; MAKE_MEDIA is a
# sonorix-make-media (default: NEW_BUILD's, else build/'s). Exits 1 on any
# difference; the differing logs stay in bench/out/null_agreement/.
set -euo pipefail
shopt -s inherit_errexit
root=$(cd "$(dirname "$0")/.." && pwd)
old=$(cd "$1" && pwd)
new=$(cd "$2" && pwd)
make_media=${3:-}
if [ -z "$make_media" ]; then
    for b in "$new" "$root/build"; do
        [ -x "$b/tests/support/sonorix-make-media" ] && { make_media=$b/tests/support/sonorix-make-media; break; }
    done
fi
[ -x "$make_media" ] || { echo "needs sonorix-make-media (build the target sonorix-make-media)" >&2; exit 2; }
work=$root/bench/out/null_agreement
media=$root/bench/out/media
mkdir -p "$work/fixtures"

tool() {  # BUILD -> path of null_log built against it
    local build=$1 src
    src=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")
    local bin=$work/null_log.$(echo "$build" | md5sum | cut -c1-8)
    if [ ! -x "$bin" ] || [ "$bin" -ot "$build/src/engine/libsonorix_engine.a" ] || [ "$bin" -ot "$root/bench/null_log.cpp" ]; then
        c++ -O2 -std=c++20 -Wall -Wextra -I"$src/src" -o "$bin" "$root/bench/null_log.cpp" \
            "$build/src/engine/libsonorix_engine.a" "$build/src/transcoder/libsonorix_transcoder.a" \
            "$build/src/base/libsonorix_base.a" \
            $(pkg-config --libs libavformat libavcodec libavfilter libavutil libswresample libswscale) \
            $(pkg-config --libs libavdevice) -pthread -ldl || exit 1  # builds that still link avdevice need it
    fi
    echo "$bin"
}
old_log=$(tool "$old")
new_log=$(tool "$new")

# The fixture kinds the test suites make: rates, channel counts, codecs,
# containers, video, subtitles, several audio streams.
fx=$work/fixtures
fixture() {  # NAME ARGS...
    local name=$1; shift
    [ -s "$fx/$name" ] || "$make_media" "$fx/$name" "$@" >/dev/null
    echo "$fx/$name"
}
files=("$media"/music.wav "$media"/music.mp3 "$media"/music.flac "$media"/music.ogg
       "$media"/tone.wav "$media"/video.mp4 "$media"/levels/*.wav
       "$(fixture tone.wav)" "$(fixture quiet.wav --peak -30)" "$(fixture loud.flac --peak -0.1)"
       "$(fixture mono.mp3 --channels 1)" "$(fixture six.ogg --channels 6)"
       "$(fixture low.wav --rate 8000 --channels 1)" "$(fixture high.flac --rate 96000)"
       "$(fixture aac.m4a --rate 48000)" "$(fixture adts.aac)" "$(fixture movie.mp4 --video 320x240@25)"
       "$(fixture multi.mkv --video 160x120@25 --channels 2,6 --subtitle)"
       "$(fixture mono_first.mkv --video 160x120@25 --channels 1,6)"
       "$(fixture long.mp3 --duration 7 --tone 440 --peak -12)")
jobs=(" -af \"volumedetect\" -f null -vn"        # the program's measurement
      " -af \"volumedetect\" -f null"            # with the video decoded and counted
      " -f null -vn"                             # no filter named
      " -af \"volumedetect\" -f null -vn -t 0.5" # a recording time
      " -af \"volumedetect\" -f null -vn -ar 22050 -ac 1")  # the options constrain the graph

status=0
count=0
for f in "${files[@]}"; do
    for j in "${!jobs[@]}"; do
        key=$(basename "$f").$j
        "$old_log" --output-options "${jobs[$j]}" "$f" > "$work/$key.old" 2>&1 || true
        "$new_log" --output-options "${jobs[$j]}" "$f" > "$work/$key.new" 2>&1 || true
        count=$((count + 1))
        if cmp -s "$work/$key.old" "$work/$key.new"; then
            rm -f "$work/$key.old" "$work/$key.new"
        else
            echo "DIFFERS: $f with '${jobs[$j]}' (diff $work/$key.old $work/$key.new)"
            status=1
        fi
    done
done
strip() { python3 -c 'import json,sys; [print(r["file"], r["max_volume"], r["mean_volume"]) for r in json.load(open(sys.argv[1]))]' "$1"; }
"$old/src/cli/sonorix-cli" measure --json "${files[@]}" > "$work/measure.old.json" || true
"$new/src/cli/sonorix-cli" measure --json "${files[@]}" > "$work/measure.new.json" || true
if [ "$(strip "$work/measure.old.json")" != "$(strip "$work/measure.new.json")" ]; then
    echo "DIFFERS: sonorix-cli measure --json (see $work/measure.*.json)"
    status=1
fi
echo "null_agreement: ${#files[@]} files x ${#jobs[@]} jobs = $count logs and one measure --json run compared: $([ $status -eq 0 ] && echo all identical || echo DIFFERENCES)"
exit $status
