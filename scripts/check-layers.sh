#!/usr/bin/env bash
# Fails when a source file of the updater includes a header of a higher layer. The layers,
# lowest first, are the folders of src/ in the order of ORVI_LAYERS in src/CMakeLists.txt.
set -euo pipefail
src=${1:-$(cd "$(dirname "$0")/../src" && pwd)}

layers=$(sed -n 's/^set(ORVI_LAYERS \(.*\))$/\1/p' "$src/CMakeLists.txt")
[ -n "$layers" ] || { echo "check-layers: no ORVI_LAYERS in $src/CMakeLists.txt" >&2; exit 2; }

declare -A rank owner
i=0
for layer in $layers; do
    rank[$layer]=$i
    i=$((i + 1))
    for header in "$src/$layer"/*.h; do
        [ -e "$header" ] || continue
        name=${header##*/}
        if [ -n "${owner[$name]:-}" ]; then
            echo "check-layers: $name is in both ${owner[$name]} and $layer" >&2
            exit 1
        fi
        owner[$name]=$layer
    done
done

faults=0
checked=0
for layer in $layers; do
    for file in "$src/$layer"/*.h "$src/$layer"/*.cpp; do
        [ -e "$file" ] || continue
        checked=$((checked + 1))
        while IFS=: read -r line header; do
            header=${header##*/}
            to=${owner[$header]:-}
            [ -n "$to" ] || continue
            if [ "${rank[$to]}" -gt "${rank[$layer]}" ]; then
                echo "${file#"$src"/}:$line: includes $header from $to, a higher layer than $layer"
                faults=$((faults + 1))
            fi
        done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<]' "$file" \
                     | sed 's/^\([0-9]*\):[^"<]*["<]\([^">]*\)[">].*/\1:\2/')
    done
done

if [ "$faults" -gt 0 ]; then
    echo "check-layers: $faults upward include(s); layers, lowest first: $layers" >&2
    exit 1
fi
echo "check-layers: $checked files, every include points down ($layers)"
