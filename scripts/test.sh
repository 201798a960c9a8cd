#!/usr/bin/env bash
# Builds tollmar and runs every test, fastest first, stopping at the first failure:
#   1. unit tests, those that need root included (build-test/)
#   2. end-to-end tests                 (build-test/, the real binary as root)
#   3. unit tests under AddressSanitizer and UndefinedBehaviorSanitizer (build-test-asan/)
#   4. a short run of each fuzz target  (build-fuzz/, FUZZ_SECONDS per target, default 10)
#   5. the soak's checker and its short form (build-test/; see scripts/soak.sh)
#   6. the end-to-end tests and the soak's short form against the server built
#      with ASan+UBSan (build-test-asan/); any sanitizer report fails the stage
# The build folders belong to this script and every option that matters is
# given on each run, so nothing built or configured before (the demo's build,
# a developer's build/) changes what runs. A stage that finds no test fails.
# Run as root (the end-to-end tests need a private mount namespace and the
# server switches identities).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
started=$SECONDS
stage() { printf '\n== %s  %s\n' "$(date +%H:%M:%S)" "$*"; }

stage "packages for building and testing"
scripts/setup.sh test

stage "build (build-test)"
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTOLLMAR_TESTS=ON -DTOLLMAR_BENCH=ON -DTOLLMAR_SANITIZE=OFF -DTOLLMAR_FUZZ=OFF
cmake --build build-test -j"$jobs"

stage "unit tests and operator checks (labels unit, root and operator)"
(cd build-test && ctest --output-on-failure --no-tests=error -L "unit|root|operator" -j"$jobs")

stage "end-to-end tests"
(cd build-test && ctest --output-on-failure --no-tests=error -L e2e -j"$jobs")

stage "build with sanitizers (build-test-asan)"
cmake -S . -B build-test-asan -DCMAKE_BUILD_TYPE=Debug \
    -DTOLLMAR_TESTS=ON -DTOLLMAR_BENCH=OFF -DTOLLMAR_SANITIZE=ON -DTOLLMAR_FUZZ=OFF
cmake --build build-test-asan -j"$jobs"

stage "unit tests under ASan+UBSan"
(cd build-test-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure --no-tests=error -L "unit|root" -j"$jobs")

stage "fuzz targets (short runs)"
scripts/fuzz.sh "${FUZZ_SECONDS:-10}"

# The soak runs alone: it loads the machine on purpose.
stage "the soak's checker and its short form"
(cd build-test && ctest --output-on-failure --no-tests=error -L soak)

stage "end-to-end tests and the soak's short form against the ASan+UBSan server"
scripts/soak.sh --sanitized build-test-asan

stage "all tests passed in $((SECONDS - started)) s"
