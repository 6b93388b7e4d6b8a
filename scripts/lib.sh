# Shared set-up of scripts/run and scripts/test: Debian packages, configure, build.

SONORIX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SONORIX_BUILD=${SONORIX_BUILD:-$SONORIX_ROOT/build}

SONORIX_PACKAGES=(
    build-essential cmake pkg-config
    libavformat-dev libavcodec-dev libavfilter-dev libavutil-dev
    libswresample-dev libswscale-dev libavdevice-dev
    libgtest-dev libgmock-dev
    qt6-base-dev libgl-dev fonts-dejavu-core
    libsndfile1-dev libebur128-dev normalize-audio libcli11-dev nlohmann-json3-dev lame
    libtag1-dev python3-mutagen
    desktop-file-utils appstream man-db file dpkg-dev
)

# Installs whatever of the list is missing (through sudo when not root).
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "${SONORIX_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

configure_and_build() {
    cmake -S "$SONORIX_ROOT" -B "$SONORIX_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$SONORIX_BUILD" -j "$(nproc)"
}

# A sanitizer build of some test executables in a build folder of its own,
# then their tests. Arguments: folder suffix, sanitizers, targets...
# Only the named targets are built, so ctest skips the others' placeholders.
# -O1 -g1 compiles far faster than -O2 -g and still gives reports file and line.
sanitizer_tests() {
    local suffix=$1 sanitize=$2
    shift 2
    local build="$SONORIX_BUILD-$suffix"
    local targets=()
    local t
    for t in "$@"; do targets+=(--target "$t"); done
    echo "== $sanitize: $*"
    cmake -S "$SONORIX_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONORIX_SANITIZE="$sanitize" \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" >/dev/null
    cmake --build "$build" -j "$(nproc)" "${targets[@]}"
    (cd "$build" && ctest --output-on-failure -j "$(nproc)" -E '_NOT_BUILT$')
}
