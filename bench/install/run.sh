#!/usr/bin/env bash
# Builds the install benchmark in release mode and runs it: the updater's PackageInstaller
# against unzip -o -q plus cp -a, for a 200 MiB file and for 5000 small files, each installed
# over an existing copy, then the recovery of a killed install. With a root parent on another
# file system, the application folder goes there (figures only). With "recovery" first, it
# times the complete install of 5000 and 100000 small files (or the counts given) against the
# recovery of the same install killed halfway.
# Usage: bench/install/run.sh [rounds] [work folder] [root parent]
#        bench/install/run.sh recovery [rounds] [work folder] [file count...]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build/release}
mode=run
if [ "${1:-}" = recovery ]; then
    mode=recovery
    shift
fi
rounds=${1:-3}
work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/install-bench.XXXXXX")}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
    -DORVI_UPDATE_PUBLIC_KEYS="$(sed -n 2p "$root/tests/keys/test.pub")" >/dev/null
ninja -C "$build" install-bench >/dev/null
if [ "$mode" = recovery ]; then
    "$build/bench/install/install-bench" recovery "$rounds" "$work" "${@:3}"
else
    "$build/bench/install/install-bench" run "$rounds" "$work" ${3:+"$3"}
fi
[ -n "${2:-}" ] || rm -rf "$work"
