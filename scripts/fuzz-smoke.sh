#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (when present) and runs each one briefly.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang++ >/dev/null; then
    echo "fuzz-smoke: clang++ not found, skipping the fuzz run"
    exit 0
fi
# Warnings are gated by the main build; clang warns about system netlink
# macros there (NLMSG_OK), so CI's -Werror stays out of this one.
env -u CI cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_C_COMPILER=clang -DQORDEX_FUZZ=ON -DQORDEX_TESTS=OFF
cmake --build build-fuzz -j "$(nproc)" --target qordex_fuzzers
shopt -s nullglob
for f in build-fuzz/fuzz/fuzz_*; do
    [ -f "$f" ] && [ -x "$f" ] || continue
    name=$(basename "$f")
    corpus="fuzz/corpus/${name#fuzz_}"
    mkdir -p "build-fuzz/corpus-$name"
    echo "fuzz-smoke: $name"
    args=("build-fuzz/corpus-$name")
    [ -d "$corpus" ] && args+=("$corpus")
    # An input that takes seconds is a hang: report it rather than wait for
    # libFuzzer's default of twenty minutes.
    "$f" -max_total_time="${FUZZ_SECONDS:-10}" -timeout=10 -rss_limit_mb=2048 "${args[@]}"
done
