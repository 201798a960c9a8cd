#!/usr/bin/env bash
# The soak of tollmar (tests/soak/soak.py): many concurrent POP3 sessions,
# deliveries by procmail and by a lockf-only agent, random SIGKILLs, vanishing
# clients and a spool folder that fills up, checked against a model of every
# delivered and deleted message. Run as root.
#
#   scripts/soak.sh            the short form against the normal build, then
#                              the whole end-to-end suite and the short form
#                              against the server built with ASan+UBSan
#   scripts/soak.sh --long     the long form (10,000 sessions, 100+ kills)
#                              against the normal build
#
# Further arguments go to soak.py (for example --seed 7; see --help).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
jobs=$(nproc)
# The Debian interpreter, which has pytest (setup.sh installs python3-pytest).
py=/usr/bin/python3

long=0
args=()
for a in "$@"; do
    if [ "$a" = "--long" ]; then long=1; fi
    args+=("$a")
done

echo "== the soak's checker"
"$py" -m pytest -q -p no:cacheprovider tests/soak/test_soak_model.py

echo "== build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs" --target tollmar >/dev/null

if ((long)); then
    echo "== soak, long form"
    TOLLMAR_BIN="$PWD/build/tollmar" "$py" tests/soak/soak.py "${args[@]}"
    exit
fi

# Every stage runs; the status says whether any failed.
status=0
echo "== soak, short form"
TOLLMAR_BIN="$PWD/build/tollmar" "$py" tests/soak/soak.py "${args[@]}" || status=1

echo "== build with sanitizers"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTOLLMAR_SANITIZE=ON -DTOLLMAR_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs" --target tollmar >/dev/null

# Reports go to files: connection processes write to the client socket or to
# nothing, and run as the test accounts, hence a folder anybody may write to.
# Leak checking is off for the server processes: a connection process ends
# with exit() by design (the at-exit hook cleans up files, not memory), and
# LeakSanitizer cannot stop the world in a process that has switched to
# another user ("Unable to get registers from thread": ptrace is refused), so
# it would only report its own failure at every session's exit. The unit
# tests run with leak checking (scripts/test.sh). verify_asan_link_order=0 lets the
# tests that inject failing identity switches preload their library ahead of
# the ASan runtime (that library is not instrumented; the server still is).
reports=$(mktemp -d /tmp/tollmar-sanitizers-XXXXXX)
chmod 1777 "$reports"
trap 'rm -rf "$reports"' EXIT
export ASAN_OPTIONS="detect_leaks=0:verify_asan_link_order=0:abort_on_error=1:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"

echo "== end-to-end tests against the ASan+UBSan server"
(cd tests/e2e && TOLLMAR_BIN="$PWD/../../build-asan/tollmar" \
    "$py" -m pytest -q -p no:cacheprovider .) || status=1

echo "== soak, short form, against the ASan+UBSan server"
TOLLMAR_BIN="$PWD/build-asan/tollmar" "$py" tests/soak/soak.py "${args[@]}" || status=1

if compgen -G "$reports/*" >/dev/null; then
    echo "== sanitizer reports"
    for f in "$reports"/*; do
        echo "--- $f"
        cat "$f"
    done
    status=1
fi
exit $status
