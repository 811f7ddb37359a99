#!/usr/bin/env bash
# Usage: run-fuzzer.sh FUZZER CORPUS RUNS
# Replays the corpus, then runs RUNS generated inputs from seed 1. Whatever libFuzzer finds
# worth keeping goes into a scratch folder (its first corpus argument), which is removed.
set -euo pipefail
fuzzer=$1 corpus=$2 runs=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$fuzzer" -seed=1 -runs="$runs" -print_final_stats=1 "$scratch" "$corpus"
