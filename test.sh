#!/usr/bin/env bash
# Installs what is missing, checks the formatting, the Polish catalogue against the sources and
# that includes point down the layers, builds the updater three times (plain, with
# AddressSanitizer and UndefinedBehaviorSanitizer, and for staging: unsigned packages, plain TCP)
# with warnings as errors, and runs every test offscreen in each;
# builds the fuzzers with clang and replays each on its corpus plus a fixed set of inputs; then
# builds Qt for Windows from Debian's sources (once, cached), cross-builds the updater and its
# tests for Windows and runs them under Wine.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD
started=$SECONDS

scripts/install-deps.sh
echo "== dependencies: installed in $SECONDS s"

export QT_QPA_PLATFORM=offscreen
export CCACHE_DIR=${CCACHE_DIR:-$HOME/.ccache}
# Paths relative to the checkout, so that a fresh clone elsewhere still hits the cache.
export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

start=$SECONDS
echo "== formatting"
# Every C++ file as the committed .clang-format writes it, so that no change mixes formatting
# with behaviour.
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format-14 --dry-run --Werror
echo "== catalogue"
# The Polish catalogue as Qt's lupdate writes it from the sources: no text missing, none left over.
scripts/check-catalogue.sh
echo "== layers"
scripts/check-layers.sh
echo "== checks: ran in $((SECONDS - start)) s"

# The test builds check package signatures against the committed test key, and pin the test
# authority of the update server's certificate, so that the updater program talks to the tests'
# servers (the tests set it in place of the system's authorities in their own processes).
test_key=$(sed -n 2p "$root/tests/keys/test.pub")

build() {
    local name=$1; shift
    local dir=$root/build/$name
    local start=$SECONDS
    echo "== $name: configure and build"
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVI_WERROR=ON \
        -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DORVI_UPDATE_PUBLIC_KEYS="$test_key" \
        -DORVI_UPDATE_SERVER_CA="$root/tests/keys/tls/ca.pem" "$@" >/dev/null
    cmake --build "$dir"
    echo "== $name: built in $((SECONDS - start)) s"
    start=$SECONDS
    echo "== $name: tests"
    ctest --test-dir "$dir" --output-on-failure -j2 --timeout 600
    echo "== $name: tests ran in $((SECONDS - start)) s"
}

build plain
build sanitize -DORVI_SANITIZE=ON
# The build publishers use on staging servers: unsigned packages, the query over plain TCP; the
# tests that need signatures or TLS skip there, saying why.
build staging -DORVI_UNSIGNED_PACKAGES=ON
build fuzz -DCMAKE_CXX_COMPILER=clang++ -DORVI_FUZZ=ON

# Windows: Qt and the libraries from Debian's sources (cached), then the updater, the sample
# main application and the tests cross-built, and the tests run under Wine.
start=$SECONDS
echo "== windows: Qt and libraries from Debian's sources"
windows_prefix=$(scripts/windows/build-deps.sh | tail -n 1)
windows_zstd=$(scripts/windows/build-zstd.sh | tail -n 1)
echo "== windows: ready in $((SECONDS - start)) s"
build windows -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DORVI_WINDOWS_PREFIX="$windows_prefix" -DCMAKE_PREFIX_PATH="$windows_prefix" \
    -DORVI_WINDOWS_ZSTD_PREFIX="$windows_zstd" -DQT_HOST_PATH=/usr
# The tests' Wine server ends with them, so that nothing of the run stays behind.
WINEPREFIX=$root/build/windows/wine-prefix wineserver -k 2>/dev/null || true
echo "== everything passed in $((SECONDS - started)) s"
