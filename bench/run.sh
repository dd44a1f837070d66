#!/usr/bin/env bash
# Runs every benchmark of the build and prints its figures.
set -euo pipefail
build=${1:-build}
shopt -s nullglob
found=0
for b in "$build"/bin/bench_*; do
    [ -x "$b" ] || continue
    found=1
    echo "== $(basename "$b")"
    "$b"
done
[ "$found" = 1 ] || echo "bench: no benchmarks built yet"
