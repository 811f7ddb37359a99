#!/usr/bin/env bash
# Usage: scripts/fuzz.sh NAME SECONDS
# Builds the fuzz build (or reuses it), runs the harness fuzz_NAME for SECONDS from its
# committed corpus, and merges what it found into tests/fuzz/corpus/NAME, keeping only the
# inputs that reach code the corpus did not reach. A crash leaves its input in build/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
if [ $# -ne 2 ]; then
    echo "usage: $0 NAME SECONDS (NAME: $(cd tests/fuzz/corpus && echo *))" >&2
    exit 2
fi
name=$1 seconds=$2
corpus=$root/tests/fuzz/corpus/$name
dir=$root/build/fuzz
[ -d "$corpus" ] || { echo "no corpus $corpus" >&2; exit 2; }

export CCACHE_DIR=${CCACHE_DIR:-$HOME/.ccache}
export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVI_WERROR=ON \
        -DCMAKE_CXX_COMPILER=clang++ -DORVI_FUZZ=ON -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
        -DORVI_UPDATE_PUBLIC_KEYS="$(sed -n 2p tests/keys/test.pub)" >/dev/null
fi
cmake --build "$dir" -j2 --target "fuzz_$name"

found=$(mktemp -d)
trap 'rm -rf "$found"' EXIT
"$dir/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$dir/" "$found" "$corpus"
"$dir/tests/fuzz/fuzz_$name" -merge=1 "$corpus" "$found"
