#!/usr/bin/env bash
# The standing check that the tests catch faults: each fault of the list in
# tests/faults/faults.py put in turn into a copy of the tree, built, and the
# tests that should catch it run (doc/mail-safety.md, "Do the tests catch
# faults?"). By hand, as root; about 7 minutes on two cores once ccache
# knows the tree.
#
#   scripts/faults.sh                   every fault, in a temporary copy
#   scripts/faults.sh --work DIR        in DIR, kept with its build for the next run
#   scripts/faults.sh --only NAME       the faults whose name contains NAME
#   scripts/faults.sh --list            the list
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 tests/faults/faults.py "$@"
