#!/usr/bin/env bash
# Set-up for the benchmarks only (CI does not run it): the reference tools'
# Debian packages, the reference tools, the corpus, and a Release build.
#
#   bench/setup.sh            (as root, or with sudo; about 2 min the first time)
#
# Leaves, all under bench/out/ (git ignores it) except the build:
#   bench/out/ref/peak_limit, bench/out/ref/convert_limit   reference tools
#   bench/out/media/...                                      corpus (make_media.sh)
#   bench/out/src/                                           the revision built
#   build-bench/src/cli/sonorix-cli                          Release, no tests
#   bench/out/convert_batch      several conversions on one encoder (bench/jobs.sh)
# Each step is skipped when its result is already there: the corpus when its
# MD5SUMS check, the build when cmake finds nothing to do.
# The build is of a committed revision (others edit the work tree meanwhile):
# SONORIX_BENCH_REV (default HEAD; "worktree" builds the work tree as it is).
# Other environment: SONORIX_BENCH_BUILD (default build-bench), SHARED_BENCH
# (default ../shared/bench beside the work tree).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/bench/out
shared=${SHARED_BENCH:-$(cd "$root/../shared/bench" && pwd)}
build=${SONORIX_BENCH_BUILD:-$root/build-bench}
rev=${SONORIX_BENCH_REV:-HEAD}

# The reference README's list, plus what the scripts and the build need.
packages=(
    libavcodec-dev libavformat-dev libavfilter-dev libavutil-dev libswresample-dev
    pkg-config sox libsox-fmt-all lame
    gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
    gstreamer1.0-plugins-ugly gstreamer1.0-plugins-bad
    hyperfine time python3 build-essential cmake libswscale-dev libavdevice-dev
)
missing=()
for pkg in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "setup: installing ${missing[*]}"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# shared/ is read-only: the tools are built into bench/out/ref.
mkdir -p "$out/ref"
make -s -C "$shared" OUT="$out/ref"

media=$out/media
if [ -f "$media/MD5SUMS" ] && (cd "$media" && md5sum --quiet -c MD5SUMS >/dev/null 2>&1); then
    echo "setup: corpus in $media is up to date"
else
    echo "setup: making the corpus in $media (about 80 s)"
    rm -rf "$media"
    "$shared/make_media.sh" "$media"
fi

# Others edit the work tree while benchmarks run: build a committed revision,
# exported into bench/out/src (re-exported only when the revision changes).
if [ "$rev" = worktree ]; then
    src=$root
else
    commit=$(git -C "$root" rev-parse --verify "$rev^{commit}")
    src=$out/src
    if [ "$(cat "$src/.commit" 2>/dev/null)" != "$commit" ]; then
        rm -rf "$src"
        mkdir -p "$src"
        git -C "$root" archive --format=tar "$commit" | tar -x -C "$src"
        echo "$commit" > "$src/.commit"
    fi
    echo "setup: building $(git -C "$root" log -1 --format='%h %s' "$commit")"
fi
if [ -f "$build/CMakeCache.txt" ] && ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$src" "$build/CMakeCache.txt"; then
    rm -rf "$build"    # configured for another source folder
fi
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSONORIX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target sonorix-cli

# convert_batch: several conversions on one encoder component (bench/jobs.sh).
libs=$build/src
if [ ! -x "$out/convert_batch" ] || [ "$out/convert_batch" -ot "$root/bench/convert_batch.cpp" ] ||
   [ "$out/convert_batch" -ot "$libs/engine/libsonorix_engine.a" ]; then
    c++ -O2 -std=c++20 -Wall -Wextra -I"$src/src" -o "$out/convert_batch" "$root/bench/convert_batch.cpp" \
        "$libs/engine/libsonorix_engine.a" "$libs/transcoder/libsonorix_transcoder.a" \
        "$libs/base/libsonorix_base.a" \
        $(pkg-config --libs libavformat libavcodec libavfilter libavutil libswresample libswscale) \
        -pthread -ldl
fi
echo "setup: ready: $build/src/cli/sonorix-cli, $out/convert_batch, $out/ref, $media"
