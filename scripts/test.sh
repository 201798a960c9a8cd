#!/usr/bin/env bash
# Builds tollmar and runs every test: unit and end-to-end tests, the unit tests
# again under AddressSanitizer and UndefinedBehaviorSanitizer, a short run of
# each fuzz target, and scripts/soak.sh (the soak, and the end-to-end tests and
# the soak against the sanitized server). Run as root (the end-to-end tests
# need a private mount namespace and the server switches identities).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
jobs=$(nproc)

echo "== build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs" >/dev/null

echo "== build with sanitizers"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTOLLMAR_SANITIZE=ON -DTOLLMAR_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs" >/dev/null

echo "== fuzz targets (short runs)"
scripts/fuzz.sh "${FUZZ_SECONDS:-10}"

echo "== unit tests under ASan+UBSan"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -L unit -j"$jobs")

echo "== unit and end-to-end tests"
(cd build && ctest --output-on-failure -j"$jobs" -LE soak)

echo "== soak (short form) and end-to-end tests against the sanitized server"
scripts/soak.sh
