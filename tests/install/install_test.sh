#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks it from there: the
# programs run and find their help page and normalizer beside them, the
# desktop entry and metainfo validate, the icon and the manual pages are
# where the desktop and man look, and the window takes files it is given.
# Arguments: build folder, media generator, version.
set -euo pipefail
build=$1 make_media=$2 version=$3
root=$(mktemp -d "${TMPDIR:-/tmp}/sonorix-install-XXXXXX")
trap 'rm -rf "$root"' EXIT
root=$(cd "$root" && pwd -P)  # the programs see their own folder resolved
prefix=$root/prefix work=$root/work
mkdir -p "$work"
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
# Every program under a time-out, so a hang fails the test.
run() { timeout 120 "$@"; }

cmake --install "$build" --prefix "$prefix" >/dev/null
bin=$prefix/bin share=$prefix/share
unset SONORIX_NORMALIZER

echo "== programs"
[ "$(ls "$bin" | tr '\n' ' ')" = "sonorix sonorix-cli sonorix-normalize " ] || fail "bin holds: $(ls "$bin")"
for program in sonorix sonorix-cli sonorix-normalize; do
    out=$(run "$bin/$program" --version) || fail "$program --version failed"
    [ "$out" = "$program $version" ] || fail "$program --version says '$out'"
done
run "$bin/sonorix" --help | grep -qxF "Help page: $share/sonorix/sonorix-help.html" ||
    fail "the installed window does not find its help page under share"
[ -s "$share/sonorix/sonorix-help.html" ] || fail "no help page under share"

echo "== desktop entry, metainfo, icon"
desktop=$share/applications/sonorix.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$share/metainfo/io.github.sonorix.Sonorix.metainfo.xml" ||
    fail "appstreamcli validate"
grep -qxF "Exec=sonorix %F" "$desktop" || fail "Exec line"
grep -qF "<launchable type=\"desktop-id\">sonorix.desktop</launchable>" \
    "$share/metainfo/io.github.sonorix.Sonorix.metainfo.xml" || fail "metainfo does not launch the entry"
# Every MIME type is one the shared MIME database knows.
mime_types=$(sed -n 's/^MimeType=//p' "$desktop" | tr ';' '\n' | sed '/^$/d')
for type in audio/mpeg audio/flac audio/x-wav video/mp4 video/x-matroska; do
    grep -qxF "$type" <<<"$mime_types" || fail "the entry does not open $type"
done
if [ -f /usr/share/mime/types ]; then
    for type in $mime_types; do
        grep -qxF "$type" /usr/share/mime/types || fail "unknown MIME type $type"
    done
fi
icons=$share/icons/hicolor
grep -qxF "Icon=sonorix" "$desktop" || fail "Icon line"
grep -q "<svg" "$icons/scalable/apps/sonorix.svg" || fail "no scalable icon"
for size in 16 24 32 48 64 128 256; do
    file -b "$icons/${size}x$size/apps/sonorix.png" | grep -qF "PNG image data, $size x $size," ||
        fail "no $size x $size icon"
done

echo "== manual pages"
for page in sonorix sonorix-cli sonorix-normalize; do
    [ "$(man -M "$share/man" -w "$page")" = "$share/man/man1/$page.1.gz" ] || fail "man does not find $page"
    MANWIDTH=80 man -M "$share/man" -P cat "$page" 2>/dev/null | grep -q "^SYNOPSIS" || fail "$page does not render"
done

echo "== the window takes its files; the installed normalizer runs"
run "$make_media" "$work/one.wav" --duration 1 --channels 2 --peak -12 >/dev/null
run "$make_media" "$work/two.wav" --duration 1 --channels 1 --peak -3 >/dev/null
touch "$work/notes.txt"
rows=$(cd "$work" && QT_QPA_PLATFORM=offscreen SONORIX_PRINT_LIST=1 run "$bin/sonorix" one.wav two.wav notes.txt) ||
    fail "the window failed"
[ "$rows" = "$work/one.wav"$'\n'"$work/two.wav" ] || fail "the list shows: $rows"
mkdir "$work/out"
run "$bin/sonorix-cli" average -o "$work/out" "$work/one.wav" "$work/two.wav" >/dev/null ||
    fail "sonorix-cli average with the installed normalizer"
[ -s "$work/out/one.wav" ] && [ -s "$work/out/two.wav" ] || fail "average wrote: $(ls "$work/out" 2>&1)"

[ "$failures" -eq 0 ] && echo "installed files and programs are as they should be"
exit $(( failures > 0 ))
