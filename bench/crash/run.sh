#!/usr/bin/env bash
# The long crash test: the real updater killed after its k-th change to the application folder
# at [points] values of k for each of three cases (inside an installation of three packages,
# inside the rollback of a failing run, inside the recovery of an interrupted run), each
# followed by a start that must restore the exact prior or the exact new tree. Prints the
# share of kills that landed inside the work. Usage: bench/crash/run.sh [points per case]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
points=${1:-40}
build=$root/build/release
export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
    -DORVI_UPDATE_PUBLIC_KEYS="$(sed -n 2p "$root/tests/keys/test.pub")" >/dev/null
cmake --build "$build" -j2 --target tst_crash >/dev/null
start=$SECONDS
QT_QPA_PLATFORM=offscreen ORVI_CRASH_POINTS=$points "$build/tests/tst_crash" -silent \
    2>&1 | grep -E "kills that landed|Totals|FAIL" || true
echo "crash test: $((3 * points)) kills in $((SECONDS - start)) s"
