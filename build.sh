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

# Debian packages, installed only when missing. Building needs the compilers,
# the cross compiler and the libraries (the tests are built too, so their
# libraries are here); the test, bench and fuzz commands add the programs the
# tests run: Wine, valgrind, qemu, the sanitizers' runtimes, LV2 hosts, JACK,
# GStreamer and pytest.
build_packages=(
    cmake ninja-build g++ pkg-config
    googletest libbenchmark-dev
    libsndfile1-dev libfftw3-dev libcli11-dev gnuplot-nox libsoxr-dev libebur128-dev
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
    lv2-dev liblilv-dev libjack-jackd2-dev
    pybind11-dev python3-dev python3-numpy python3-skbuild python3-soundfile
)
test_packages=(
    clang libclang-rt-14-dev llvm-14 valgrind qemu-user
    sordi lilv-utils lv2file jalv jackd2
    gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-bad
    python3-pytest python3-distributed
)
# Wine runs the 32-bit build's tests; its 32-bit half comes from the i386
# architecture, whose libraries must match the 64-bit ones version for version.
wine_packages=(wine wine32:i386)

sudo=""
[[ $(id -u) -ne 0 ]] && sudo=sudo
apt_log=$(mktemp)
trap 'rm -f "$apt_log"' EXIT

missing_packages() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            echo "$p"
    done
}

# A mirror caught mid-sync fails some lists; what is there may still serve.
lists_refreshed=false
refresh_package_lists() {
    $lists_refreshed && return 0
    lists_refreshed=true
    if ! $sudo apt-get update -qq >"$apt_log" 2>&1; then
        echo "warning: some package lists could not be refreshed; going on with what is there" >&2
    fi
}

apt_install() {
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$@" \
        >"$apt_log" 2>&1
}

# The 32-bit packages whose versions cannot match their installed 64-bit
# halves, as "name 64-bit-version 32-bit-version", from apt's complaint.
mismatched_32bit_packages() {
    local name native foreign
    DEBIAN_FRONTEND=noninteractive apt-get install -s -t "$codename" --no-install-recommends "$@" 2>&1 |
        grep -oE 'Depends: [^ ]+:i386' | sed 's/^Depends: //; s/:i386$//' | sort -u |
        while read -r name; do
            native=$(dpkg-query -W -f='${Version}' "$name:amd64" 2>/dev/null || true)
            foreign=$(apt-cache policy "$name:i386" | awk '/Candidate:/ {print $2}')
            [[ -n "$native" && -n "$foreign" && "$foreign" != "(none)" && "$native" != "$foreign" ]] &&
                echo "$name $native $foreign"
        done
}

# Wine's 32-bit half. When a 32-bit list is behind (a mirror mid-sync), the
# release's own versions, which both architectures have, are tried first; a
# 64-bit library newer than anything the 32-bit list offers is then matched to
# the 32-bit version, which is said, and `apt-get upgrade` brings it back once
# the mirror has synced. VELMORA_KEEP_64BIT=1 stops instead.
install_wine() {
    dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
    lists_refreshed=false
    refresh_package_lists
    apt_install "$@" && return 0
    apt_install -t "$codename" "$@" && return 0
    local matched=() round name native foreign
    for round in 1 2 3 4 5; do
        local mismatched
        mismatched=$(mismatched_32bit_packages "$@" "${matched[@]}")
        [[ -z "$mismatched" ]] && break
        echo "The 32-bit packages cannot be installed: their versions cannot match the 64-bit ones:" >&2
        while read -r name native foreign; do
            echo "  $name is $native here, while the 32-bit package list offers only $foreign" >&2
            matched+=("$name:amd64=$foreign" "$name:i386=$foreign")
        done <<<"$mismatched"
        if [[ "${VELMORA_KEEP_64BIT:-}" == 1 ]]; then
            echo "Run ./build.sh again later: the package mirror may be mid-sync." >&2
            exit 1
        fi
        echo "Installing the 64-bit ones at the 32-bit versions (apt-get upgrade restores them later)." >&2
        apt_install -t "$codename" --allow-downgrades "$@" "${matched[@]}" && return 0
    done
    return 1
}

# Installs what is missing of the given packages; only a package that cannot
# be installed stops the build, named, with what to try.
install_packages() {
    local missing native=() foreign=() p
    mapfile -t missing < <(missing_packages "$@")
    [[ ${#missing[@]} -eq 0 ]] && return 0
    for p in "${missing[@]}"; do
        case " ${wine_packages[*]} " in *" $p "*) foreign+=("$p") ;; *) native+=("$p") ;; esac
    done
    echo "Installing: ${missing[*]}"
    if [[ ${#native[@]} -gt 0 ]]; then
        refresh_package_lists
        if ! apt_install "${native[@]}"; then
            local failing=()
            for p in "${native[@]}"; do
                apt-get install -s -qq --no-install-recommends "$p" >/dev/null 2>&1 || failing+=("$p")
            done
            tail -n 5 "$apt_log" >&2
            echo "error: could not install ${failing[*]:-${native[*]}}; run ./build.sh again later (the package mirror may be mid-sync)" >&2
            exit 1
        fi
    fi
    if [[ ${#foreign[@]} -gt 0 ]] && ! install_wine "${wine_packages[@]}"; then
        tail -n 8 "$apt_log" >&2
        echo "error: could not install ${foreign[*]}; run ./build.sh again later (the package mirror may be mid-sync)" >&2
        exit 1
    fi
}
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")

# Wine keeps its prefix under the build tree, made once and quietly, before
# any test starts: several first starts at once would corrupt it.
export WINEPREFIX="$PWD/build/wine"
export WINEDEBUG=-all

# Whether this machine starts 32-bit programs, found by starting one (Wine's
# 32-bit loader). A kernel without 32-bit support gets them run by qemu-i386,
# registered with binfmt_misc unless a handler for i386 programs is there
# already; Wine's fixed addresses need the emulator to reserve the whole
# 32-bit address space.
wine_loader=/usr/lib/wine/wine
starts_32bit() { env "${wine_env[@]}" "$wine_loader" --version >/dev/null 2>&1; }
emulate_32bit() {
    local binfmt=/proc/sys/fs/binfmt_misc
    [[ -e $binfmt/register ]] || $sudo mount -t binfmt_misc binfmt_misc $binfmt 2>/dev/null || return 1
    if ! grep -qls "magic 7f454c4601010100000000000000000002000300" $binfmt/* 2>/dev/null; then
        printf '%s' ':velmora-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:' |
            $sudo tee $binfmt/register >/dev/null || return 1
    fi
    starts_32bit
}
# For Wine alone: qemu-x86_64, which runs tests of its own, cannot take it.
wine_env=(QEMU_RESERVED_VA="${QEMU_RESERVED_VA:-0xffff0000}")

# Answers whether the 32-bit build's tests can run here, and says so once.
win32_runs=""
prepare_wine() {
    if [[ -z "$win32_runs" ]]; then
        win32_runs=no
        if starts_32bit; then
            win32_runs=yes
        elif emulate_32bit; then
            echo "This machine cannot start 32-bit programs: Wine runs under qemu-i386."
            win32_runs=yes
        fi
        if [[ $win32_runs == yes && ! -f "$WINEPREFIX/system.reg" ]]; then
            mkdir -p "$WINEPREFIX"
            # Under emulation a first start can hang: bounded, and then judged.
            env "${wine_env[@]}" WINEDLLOVERRIDES="mscoree,mshtml=" timeout 300 wineboot --init \
                >/dev/null 2>&1 || true
            timeout 30 wineserver -w || wineserver -k 2>/dev/null || true
            if ! env "${wine_env[@]}" timeout 60 wine cmd /c exit 0 >/dev/null 2>&1; then
                wineserver -k 2>/dev/null || true
                win32_runs=no
                rm -rf "$WINEPREFIX"
            fi
        fi
    fi
    if [[ $win32_runs == no ]]; then
        echo "win32 tests not run: this machine cannot start 32-bit programs"
        return 1
    fi
}

sanitized() { build_preset "$1" && ctest --preset "$1"; }

# Each stage of the test run is timed; the times are printed at the end.
stage_times=()
stage() {
    local name=$1 begin=$SECONDS result=0
    shift
    "$@" || result=$?
    stage_times+=("$(printf '%-9s %5d s  %s' "$name" $((SECONDS - begin)) \
        "$([[ $result -eq 0 ]] && echo passed || echo FAILED)")")
    return $result
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

case "$command" in
    test | bench) install_packages "${build_packages[@]}" "${test_packages[@]}" "${wine_packages[@]}" ;;
    fuzz) install_packages "${build_packages[@]}" "${test_packages[@]}" ;;
    *) install_packages "${build_packages[@]}" ;;
esac
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
        status=0
        prepare_wine || true
        stage native ctest --preset native -E _valgrind || status=1
        stage valgrind ctest --preset native -R _valgrind || status=1
        if prepare_wine >/dev/null; then
            stage win32 env "${wine_env[@]}" ctest --preset win32 || status=1
        fi
        stage asan sanitized asan || status=1
        stage tsan sanitized tsan || status=1
        echo "== fuzzing the module for 60 s =="
        # The fuzzer's log goes to a file; a failure shows its end.
        if stage fuzz fuzz 60 >build/asan/fuzz.log 2>&1; then
            grep -E "^#[0-9]+ +DONE|^Done" build/asan/fuzz.log
        else
            tail -n 60 build/asan/fuzz.log
            echo "the fuzzer found a fault; the input is in build/asan/fuzz/findings/" >&2
            status=1
        fi
        echo "== time per stage =="
        printf '%s\n' "${stage_times[@]}"
        prepare_wine >/dev/null || echo "win32 tests not run: this machine cannot start 32-bit programs"
        exit $status
        ;;
    fuzz)
        build_preset asan
        fuzz "${2:-0}" -fork="$jobs"
        ;;
    bench)
        win32_bench=yes
        prepare_wine || win32_bench=no
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
        echo "== native x86-64, channels in lanes =="
        build/native/channel_lanes_bench "${native_args[@]}"
        echo "== the Python package against the native kernels =="
        PYTHONPATH=build/native/python /usr/bin/python3 bench/python_bench.py build/native
        if [[ $win32_bench == yes && -x build/win32/kernels_bench.exe ]]; then
            echo "== 32-bit Windows build under Wine =="
            env "${wine_env[@]}" wine build/win32/kernels_bench.exe "${wine_args[@]}"
            echo "== 32-bit Windows build under Wine, channels in lanes =="
            env "${wine_env[@]}" wine build/win32/channel_lanes_bench.exe "${wine_args[@]}"
        fi
        ;;
    *)
        echo "usage: $0 [build|test|bench|fuzz [SECONDS]]" >&2
        exit 2
        ;;
esac
