"""What every part of bench/compare.py shares: the paths, the account, the
units of size, the limits of every wait, and the look at processes in /proc."""

import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
WORK = os.path.join(REPO, "build-compare")
# The sandbox and the server control of the end-to-end tests.
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))

USER = "bench"
PASSWORD = "bench-secret"
KIB = 1024
MIB = 1024 * KIB
GIB = 1024 * MIB
CLIENT_TIMEOUT = 600.0  # seconds one client read may wait (a login on 10^6 messages): a limit, never a result
RELEASE_LIMIT = 600.0  # seconds to wait for a maildrop to be unlocked (10^6 spool files removed on a busy disk): a limit, never a result
START_LIMIT = 20.0


def wait_for(predicate, what, limit=RELEASE_LIMIT, step=0.0005):
    deadline = time.monotonic() + limit
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(step)


def children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(x) for x in f.read().split()]
    except (FileNotFoundError, ProcessLookupError):
        return []


def proc_status(pid):
    """The fields of /proc/PID/status as a dict of strings ({} when gone)."""
    fields = {}
    try:
        with open("/proc/%d/status" % pid) as f:
            for row in f:
                key, _, value = row.partition(":")
                fields[key] = value.strip()
    except (FileNotFoundError, ProcessLookupError):
        pass
    return fields


def descendants(pid):
    out, pending = [], [pid]
    while pending:
        for kid in children(pending.pop()):
            out.append(kid)
            pending.append(kid)
    return out


