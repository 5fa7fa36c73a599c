#!/usr/bin/env bash
# Sets up a Debian machine, builds and tests Velmora.
#
#   ./build.sh          install what is missing, build both presets, make the demo
#   ./build.sh test     the same, then run every test of both builds
#   ./build.sh bench    the same as build, then run the benchmark
set -euo pipefail
cd "$(dirname "$0")"

command=${1:-build}
jobs=$(nproc)

# Debian packages the build needs; installed only when missing.
packages=(
    cmake ninja-build g++ pkg-config
    googletest libbenchmark-dev
    libsndfile1-dev libfftw3-dev libcli11-dev gnuplot-nox
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
    wine wine32:i386
)

missing_packages() {
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    echo "${missing[@]:-}"
}

install_packages() {
    local missing
    missing=$(missing_packages)
    [[ -z "$missing" ]] && return 0
    echo "Installing: $missing"
    local sudo=""
    [[ $(id -u) -ne 0 ]] && sudo=sudo
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo dpkg --add-architecture i386
    fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
}

# Wine keeps its prefix under the build tree, made once and quietly.
export WINEPREFIX="$PWD/build/wine"
export WINEDEBUG=-all
prepare_wine() {
    if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
        mkdir -p "$WINEPREFIX"
        WINEDLLOVERRIDES="mscoree,mshtml=" wineboot --init >/dev/null 2>&1 || true
        wineserver -w || true
    fi
}

build_preset() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" -j "$jobs"
}

install_packages
build_preset native
build_preset win32

case "$command" in
    build)
        echo "Built build/native/Module.so and build/win32/Module.dll"
        build/native/velmora demo --out out/demo
        echo "Listen to out/demo/*.wav; the bodies' responses are in out/demo/response.png"
        ;;
    test)
        prepare_wine
        status=0
        ctest --preset native || status=1
        ctest --preset win32 || status=1
        exit $status
        ;;
    *)
        echo "usage: $0 [build|test]" >&2
        exit 2
        ;;
esac
