#!/usr/bin/env bash
# Sets up a Debian machine, builds and tests Velmora.
#
#   ./build.sh          install what is missing, build both presets, make the demo
#   ./build.sh test     the same, then every test and the validator of both builds
#                       (the native tests under valgrind too), the sanitizer builds'
#                       tests and validator, and a minute of fuzzing
#   ./build.sh bench    the same as build, then run the benchmark
#   ./build.sh fuzz [SECONDS]
#                       build the sanitizer preset and fuzz the module, until
#                       interrupted or for SECONDS
set -euo pipefail
cd "$(dirname "$0")"

command=${1:-build}
jobs=$(nproc)

# Debian packages the build needs; installed only when missing.
packages=(
    cmake ninja-build g++ pkg-config
    googletest libbenchmark-dev
    libsndfile1-dev libfftw3-dev libcli11-dev gnuplot-nox libsoxr-dev libebur128-dev
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
    wine wine32:i386
    clang libclang-rt-14-dev llvm-14 valgrind qemu-user
    lv2-dev sordi liblilv-dev lilv-utils lv2file jalv jackd2 libjack-jackd2-dev
    gstreamer1.0-tools gstreamer1.0-plugins-bad
    pybind11-dev python3-dev python3-numpy python3-pytest python3-skbuild
    python3-soundfile python3-distributed
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

# Google Benchmark for the cross build comes from Debian's source package,
# unpacked once under build/_deps.
benchmark_source() {
    local deps="$PWD/build/_deps"
    local found
    found=$(ls -d "$deps"/benchmark-*/ 2>/dev/null | head -n1)
    if [[ -z "$found" ]]; then
        mkdir -p "$deps"
        local sudo=""
        [[ $(id -u) -ne 0 ]] && sudo=sudo
        if ! grep -rqs "^Types: deb-src" /etc/apt/sources.list.d/ &&
            ! grep -qs "^deb-src" /etc/apt/sources.list; then
            $sudo tee /etc/apt/sources.list.d/velmora-src.sources >/dev/null <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
            $sudo apt-get update -qq >/dev/null
        fi
        (cd "$deps" && apt-get source --download-only -qq benchmark >/dev/null 2>&1 &&
            tar xf benchmark_*.orig.tar.* && rm -f benchmark_*) ||
            echo "warning: no Google Benchmark sources; the 32-bit benchmark is not built" >&2
        found=$(ls -d "$deps"/benchmark-*/ 2>/dev/null | head -n1)
    fi
    echo "${found%/}"
}

build_preset() {
    local preset=$1
    shift
    cmake --preset "$preset" "$@" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
}

# The sanitizer build stops at the first finding; a host-side allocation
# that may fail (new (nothrow)) answers null as it would outside it.
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:detect_stack_use_after_return=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# The fuzz target over the repository's seed corpus and what earlier runs
# found (kept under the build tree), for SECONDS or, with 0, until interrupted.
# Inputs that crash or break a rule are left in build/asan/fuzz/findings/.
fuzz() {
    local seconds=$1
    shift
    local work=build/asan/fuzz
    mkdir -p "$work/corpus" "$work/findings"
    build/asan/module_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$work/findings/" -print_final_stats=1 "$@" \
        "$work/corpus" tests/fuzz/corpus
}

install_packages
if [[ "$command" != fuzz ]]; then
    build_preset native
    build_preset win32 -DVELMORA_BENCHMARK_SOURCE="$(benchmark_source)"
fi

case "$command" in
    build)
        echo "Built build/native/Module.so, build/win32/Module.dll and the LV2 bundle build/native/lv2/velmora.lv2"
        build/native/velmora demo --out out/demo
        echo "Listen to out/demo/*.wav; the bodies' responses are in out/demo/response.png"
        ;;
    test)
        prepare_wine
        status=0
        ctest --preset native || status=1
        ctest --preset win32 || status=1
        build_preset asan
        ctest --preset asan || status=1
        build_preset tsan
        ctest --preset tsan || status=1
        echo "== fuzzing the module for 60 s =="
        # The fuzzer's log goes to a file; a failure shows its end.
        if fuzz 60 >build/asan/fuzz.log 2>&1; then
            grep -E "^#[0-9]+ +DONE|^Done" build/asan/fuzz.log
        else
            tail -n 60 build/asan/fuzz.log
            echo "the fuzzer found a fault; the input is in build/asan/fuzz/findings/" >&2
            status=1
        fi
        exit $status
        ;;
    fuzz)
        build_preset asan
        fuzz "${2:-0}" -fork="$jobs"
        ;;
    bench)
        prepare_wine
        # Without arguments, as BENCHMARKS.md was measured: the least of a few
        # repetitions of each case, longer ones under Wine, whose processor
        # time comes in steps of 10 ms.
        native_args=("${@:2}") wine_args=("${@:2}")
        if [[ $# -lt 2 ]]; then
            native_args=(--benchmark_min_time=0.1 --benchmark_repetitions=5
                --benchmark_report_aggregates_only=true)
            wine_args=(--benchmark_min_time=0.5 --benchmark_repetitions=3
                --benchmark_report_aggregates_only=true)
        fi
        echo "== native x86-64 =="
        build/native/kernels_bench "${native_args[@]}"
        echo "== the Python package against the native kernels =="
        PYTHONPATH=build/native/python /usr/bin/python3 bench/python_bench.py build/native
        if [[ -x build/win32/kernels_bench.exe ]]; then
            echo "== 32-bit Windows build under Wine =="
            wine build/win32/kernels_bench.exe "${wine_args[@]}"
        fi
        ;;
    *)
        echo "usage: $0 [build|test|bench|fuzz [SECONDS]]" >&2
        exit 2
        ;;
esac
