#!/usr/bin/env bash
# The checks beyond kills: every crash state a power cut could leave during
# the rewrite, the replay and the dot-lock (tests/crash), and every
# interleaving of the dot-lock's protocol (tests/crash/lock_model.py).
#
#   scripts/proof.sh           the short forms, as scripts/test.sh runs them
#                              (ctest -L proof in build-test/)
#   scripts/proof.sh --long    the long form: many more states per cut point
#                              (PER_POINT, default 400; SEED, default 1) and
#                              the lock model with two kills
#   scripts/proof.sh --faults  whether the tests catch the listed faults
#                              (scripts/faults.sh, which takes the options)
#
# The explorer is built in build-test/ with the options of scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--faults" ]; then
    shift
    exec scripts/faults.sh "$@"
fi

cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTOLLMAR_TESTS=ON -DTOLLMAR_BENCH=ON -DTOLLMAR_SANITIZE=OFF -DTOLLMAR_FUZZ=OFF >/dev/null
cmake --build build-test -j"$(nproc)" --target crash_explorer

if [ "${1:-}" != "--long" ]; then
    cd build-test && exec ctest --output-on-failure --no-tests=error -L proof
fi

started=$SECONDS
build-test/crash_explorer --per-point "${PER_POINT:-400}" --seed "${SEED:-1}"
for m in unsynced-journal uncommitted-journal unsynced-cut; do
    build-test/crash_explorer --per-point 64 --seed "${SEED:-1}" --only small --mutate "$m" \
        --expect-broken | tail -1
done
python3 tests/crash/lock_model.py --contenders 3 --crashes 2
python3 tests/crash/lock_model.py --unguarded --expect-broken | head -1
python3 tests/crash/lock_model.py --contenders 3 --crashes 2 --hosts 2
python3 tests/crash/lock_model.py --hosts 2 --guard folder --expect-broken | head -1
echo "long form done in $((SECONDS - started)) s"
