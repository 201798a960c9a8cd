#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a few seconds
# (argument: seconds per target, default 10) on its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ \
    -DTOLLMAR_FUZZ=ON -DTOLLMAR_TESTS=OFF -DTOLLMAR_BENCH=OFF -DTOLLMAR_SANITIZE=OFF
cmake --build build-fuzz -j"$(nproc)"

targets=0

for src in fuzz/*_fuzz.cpp; do
    [ -e "$src" ] || continue
    name=$(basename "$src" .cpp)
    corpus_seed="fuzz/corpus/${name%_fuzz}"
    work=$(mktemp -d)
    chmod 0755 "$work"
    [ -d "$corpus_seed" ] && cp -r "$corpus_seed"/. "$work"/
    echo "fuzz: $name for ${seconds}s"
    if ! TMPDIR="$work" "build-fuzz/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=0 "$work" >"$work.log" 2>&1; then
        tail -n 40 "$work.log"
        echo "fuzz: $name FAILED" >&2
        exit 1
    fi
    rm -rf "$work" "$work.log"
    targets=$((targets + 1))
done
if ((targets == 0)); then
    echo "fuzz: no fuzz target found" >&2
    exit 1
fi
