#!/usr/bin/env bash
# Builds the install benchmark in release mode and runs it: the updater's PackageInstaller
# against unzip -o -q plus cp -a, for a 200 MiB file and for 5000 small files, each installed
# over an existing copy, then the recovery of a killed install. With a root parent on another
# file system, the application folder goes there (figures only).
# Usage: bench/install/run.sh [rounds] [work folder] [root parent]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build/release}
rounds=${1:-3}
work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/install-bench.XXXXXX")}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
    -DORVI_UPDATE_PUBLIC_KEYS="$(sed -n 2p "$root/tests/keys/test.pub")" >/dev/null
ninja -C "$build" install-bench >/dev/null
"$build/bench/install/install-bench" run "$rounds" "$work" ${3:+"$3"}
[ -n "${2:-}" ] || rm -rf "$work"
