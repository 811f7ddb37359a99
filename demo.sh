#!/usr/bin/env bash
# The main job: builds the updater and runs it in update mode.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVI_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo
exec build/demo/src/updater -u "$@"
