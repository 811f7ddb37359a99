#!/usr/bin/env bash
# Builds the delta benchmark in release mode and runs it on two updates from version 1 to 2:
# the demo's (scripts/demo/versions.sh) and one 200 MiB file with 1 % of its bytes changed in
# 4 KiB blocks spread evenly. For each: the bytes of the delta packages against the whole
# packages (mkpackage --delta), the time to apply the delta and install what it prepared
# against the time to install the whole package (median of the rounds, each into a fresh copy
# of version 1), the peak anonymous memory of both, and Debian's zstd --patch-from on the same
# files as the reference (patch bytes, decoding time and peak resident memory).
# Usage: bench/delta/run.sh [rounds] [work folder]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build/release}
rounds=${1:-3}
work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/delta-bench.XXXXXX")}
mkdir -p "$work"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
    -DORVI_UPDATE_PUBLIC_KEYS="$(sed -n 2p "$root/tests/keys/test.pub")" >/dev/null
ninja -C "$build" delta-bench mkpackage >/dev/null
mkpackage=$build/tools/mkpackage/mkpackage
bench=$build/bench/delta/delta-bench

size() { stat -c %s "$1"; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Rounds of one way of installing name's package into fresh copies of old; prints the median
# time and the largest peak.
turns() {
    local how=$1 old=$2 package=$3 name=$4 times=() peaks=() line
    for ((round = 0; round < rounds; ++round)); do
        rm -rf "$work/root" "$work/download"
        cp -a "$old" "$work/root"
        echo main >"$work/root/orvi7.exe"
        line=$("$bench" "$how" "$work/root" "$work/download" "$package" "$name.zip" "$name")
        times+=("${line%% ms*}")
        peaks+=("$(sed 's/.*memory \([0-9.]*\) MiB.*/\1/' <<<"$line")")
    done
    printf '%s ms, peak anonymous memory %s MiB' "$(printf '%s\n' "${times[@]}" | median)" \
        "$(printf '%s\n' "${peaks[@]}" | sort -n | tail -n1)"
}

# zstd --patch-from over every changed file of old/new: total patch bytes, the decoding time
# and the largest peak resident memory.
reference() {
    local old=$1 new=$2 total=0 seconds=0 peak=0 relative level spent resident
    while read -r relative; do
        [ -f "$old/$relative" ] && ! cmp -s "$old/$relative" "$new/$relative" || continue
        # The levels mkpackage takes: the slowest for files up to 64 MiB, 9 above.
        level=19
        [ "$(size "$new/$relative")" -le $((64 * 1024 * 1024)) ] || level=9
        # zstd prints advice on its optimal parser at the slowest levels, whatever -q says.
        zstd -q -f -"$level" --long=31 --patch-from="$old/$relative" "$new/$relative" \
            -o "$work/ref.zst" 2>/dev/null
        total=$((total + $(size "$work/ref.zst")))
        /usr/bin/time -f '%e %M' -o "$work/time" zstd -q -f -d --long=31 \
            --patch-from="$old/$relative" "$work/ref.zst" -o "$work/ref.out"
        read -r spent resident <"$work/time"
        seconds=$(awk -v a="$seconds" -v b="$spent" 'BEGIN { print a + b }')
        [ "$resident" -gt "$peak" ] && peak=$resident
    done < <(cd "$new" && find . -type f | sed 's|^\./||' | sort)
    printf '%s bytes, decoded in %s s, peak resident memory %s MiB' "$total" "$seconds" \
        "$((peak / 1024))"
}

# One update: packages of every component, then the figures.
measure() {
    local title=$1 versions=$2 timed=$3 whole=0 delta=0 component
    rm -rf "$work/packages"
    mkdir -p "$work/packages"
    for component in $(ls "$versions/2"); do
        "$mkpackage" --old "$versions/1/$component" --new "$versions/2/$component" \
            --project orvi --name "$component" --type app \
            --output "$work/packages/$component.zip" --delta 1 >/dev/null
        whole=$((whole + $(size "$work/packages/$component.zip")))
        delta=$((delta + $(size "$work/packages/$component-from-1.zip")))
    done
    echo "$title"
    echo "  downloaded: deltas $delta bytes against whole packages $whole bytes" \
        "($(awk -v d="$delta" -v w="$whole" 'BEGIN { printf "%.2f", 100 * d / w }') %)"
    echo "  $timed, delta applied and installed: $(turns delta "$versions/1/$timed" \
        "$work/packages/$timed-from-1.zip" "$timed")"
    echo "  $timed, whole package installed:     $(turns whole "$versions/1/$timed" \
        "$work/packages/$timed.zip" "$timed")"
    for component in $(ls "$versions/2"); do
        echo "  zstd --patch-from, $component: $(reference "$versions/1/$component" \
            "$versions/2/$component")"
    done
}

versions=$work/demo
# shellcheck source=scripts/demo/versions.sh
source "$root/scripts/demo/versions.sh"
write_versions
measure "the demo's update (core, emoticons, gg; core timed)" "$versions" core

# 200 MiB of reproducible random bytes; version 2 has every hundredth 4 KiB block replaced.
large=$work/large
rm -rf "$large"
mkdir -p "$large/1/big" "$large/2/big"
/usr/bin/python3 -c 'import random, sys
rng = random.Random(1)
old = rng.randbytes(200 * 1024 * 1024)
open(sys.argv[1], "wb").write(old)
new = bytearray(old)
for block in range(50, len(new) // 4096, 100):
    new[block * 4096:(block + 1) * 4096] = rng.randbytes(4096)
open(sys.argv[2], "wb").write(new)' "$large/1/big/big.bin" "$large/2/big/big.bin"
measure "a 200 MiB file, 1 % changed in 4 KiB blocks" "$large" big

[ -n "${2:-}" ] || rm -rf "$work"
