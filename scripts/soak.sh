#!/usr/bin/env bash
# The soak of tollmar (tests/soak/soak.py): many concurrent POP3 sessions,
# deliveries by procmail and by a lockf-only agent, random SIGKILLs, vanishing
# clients and a spool folder that fills up, checked against a model of every
# delivered and deleted message. Run as root.
#
#   scripts/soak.sh            the checker's tests, then the short form (a minute)
#   scripts/soak.sh --long     the long form (10,000 sessions, 100+ kills)
#   scripts/soak.sh --sanitized [FOLDER]
#                              the whole end-to-end suite and the short form
#                              against the server built with ASan+UBSan in
#                              FOLDER (default build-soak-asan/, built here)
#
# The server is built in build-soak/ (RelWithDebInfo). Further arguments go
# to soak.py (for example --seed 7; see tests/soak/soak.py --help).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
# The Debian interpreter, which has pytest (setup.sh installs python3-pytest).
py=/usr/bin/python3

if [ "${1:-}" = "--sanitized" ]; then
    shift
    folder=build-soak-asan
    if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
        folder=$1
        shift
    else
        scripts/setup.sh test
        cmake -S . -B "$folder" -DCMAKE_BUILD_TYPE=Debug \
            -DTOLLMAR_TESTS=ON -DTOLLMAR_BENCH=OFF -DTOLLMAR_SANITIZE=ON -DTOLLMAR_FUZZ=OFF >/dev/null
        cmake --build "$folder" -j"$jobs" >/dev/null
    fi
    # Reports go to files: session processes write to the client socket or to
    # nothing, and run as the test accounts, hence a folder anybody may write
    # to. Leak checking is off for the server processes: a session ends with
    # exit() by design (the at-exit hook cleans up files, not memory), and
    # LeakSanitizer cannot stop the world in a process that has switched to
    # another user (ptrace is refused), so it would only report its own
    # failure at every session's exit; the unit tests run with leak checking
    # (scripts/test.sh). verify_asan_link_order=0 lets the tests that inject
    # failing identity switches preload their library ahead of the ASan
    # runtime (that library is not instrumented; the server still is).
    reports=$(mktemp -d /tmp/tollmar-sanitizers-XXXXXX)
    chmod 1777 "$reports"
    trap 'rm -rf "$reports"' EXIT
    export ASAN_OPTIONS="detect_leaks=0:verify_asan_link_order=0:abort_on_error=1:log_path=$reports/asan"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
    # Every part runs; the status says whether any failed.
    status=0
    (cd "$folder" && ctest --output-on-failure --no-tests=error -L e2e -j"$jobs") || status=1
    (cd "$folder" && ctest --output-on-failure --no-tests=error -R '^soak\.short$') || status=1
    if compgen -G "$reports/*" >/dev/null; then
        echo "== sanitizer reports"
        for f in "$reports"/*; do
            echo "--- $f"
            cat "$f"
        done
        status=1
    fi
    exit $status
fi

scripts/setup.sh test
echo "== the soak's checker"
"$py" -m pytest -q -p no:cacheprovider tests/soak/test_soak_model.py
echo "== build (build-soak)"
cmake -S . -B build-soak -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTOLLMAR_TESTS=OFF -DTOLLMAR_BENCH=OFF -DTOLLMAR_SANITIZE=OFF -DTOLLMAR_FUZZ=OFF >/dev/null
cmake --build build-soak -j"$jobs" --target tollmar >/dev/null
echo "== soak"
TOLLMAR_BIN="$PWD/build-soak/tollmar" "$py" tests/soak/soak.py "$@"
