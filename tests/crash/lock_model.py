#!/usr/bin/env python3
"""An exhaustive check of the dot-lock protocol of src/maildrop/lock.cpp.

Every interleaving of a few logins (three by default) that take the lock,
renew it and release it is explored, each of them possibly killed (kill -9)
at any step and the clock possibly jumping past the 600-second limit at any
moment, from three starting points: no lock, the lock of a session of this
host that was killed, and a lock from another boot (only the 600-second rule
can lift it). The state space is small enough to visit every state once.

How it maps to lock.cpp (one model step = one system call there):
  take_guard / release   flock of the guard file "<lock>.guard" around
                         clear_stale_lock and around the removal in
                         unlock_maildrop: one guard for every host, as the
                         lock manager of the shared storage arbitrates it
                         (--guard file, the default); --guard folder models
                         the flock of the folder it replaced, which excludes
                         only the logins of one host; --guard none, none at
                         all (the protocol as it was before either)
  look                   look_at(lock): identity, pid, age (old) of the file
  judge                  the 600-second rule (old) or made_by_dead_process
                         (second name "own.<pid>" of a process of the
                         judge's own host, pid gone: the origin in the name
                         and kill(pid, 0) are the host's own)
  rename_aside ... unlink_aside   remove_if: rename to "aside.<p>", look_at,
                         link back when it is not the judged file, unlink
  unlink_owner           take_over's removal of the judged lock's second name
  create / write / link / check   try_link: unique file "own.<p>", pid
                         written, link to the lock name (its success holds
                         the lock), the link count read back only when the
                         link reports an error
  renew                  refresh_lock (pwrite of our pid while still_ours)
  sweep                  sweep_lock_leftovers, run by a later login
The clock jump stands for 600 seconds passing: the files of processes that
are no longer alive get old (a live one acts within moments, and a holder
renews once a minute).

Invariants, checked in every state:
  one_holder   never two live sessions that were told they hold the lock;
  kept         a live holder's file is under the lock name (a renewing
               session never loses its lock);
and in every final state (everyone done or killed), after the clock jump:
  lapses       a later login takes the lock (a killed holder's lock is taken
               over under the rules), releases it and sweeps, and then no lock
               file or second name is left.

The logins run on --hosts hosts (login i on host i mod N; the killed
session of the starting point on the first) that share the maildrop's folder.

  lock_model.py [--contenders N] [--crashes N] [--hosts N]
                [--guard file|folder|none | --unguarded] [--expect-broken]
exits 0 when every invariant holds, and prints the first breaking
interleaving otherwise. --unguarded is --guard none. --expect-broken then
succeeds only when the check finds it broken, which shows that the model can
find the fault it was made for: the takeover race without a guard, and
across two hosts with the folder's flock.
"""

import argparse
import sys
from collections import deque

LOCK = "lock"
HOSTS = [1]  # set by main: the number of hosts
GUARD = ["file"]  # set by main: "file", "folder" or "none"
MAX_ATTEMPTS = 2  # try_link attempts of a login in the model (the code: ~11)


def own(p):
    return "own.%s" % p


def aside(p):
    return "aside.%s" % p


class World:
    """The shared state: names -> file, file -> (pid, version, old)."""

    __slots__ = ("names", "files", "guard", "jumped", "crashes", "procs")

    def key(self):
        return (
            tuple(sorted(self.names.items())),
            tuple(sorted(self.files.items())),
            self.guard,
            self.jumped,
            self.crashes,
            self.procs,
        )

    def copy(self):
        w = World()
        w.names = dict(self.names)
        w.files = dict(self.files)
        w.guard = self.guard
        w.jumped = self.jumped
        w.crashes = self.crashes
        w.procs = self.procs
        return w

    def nlink(self, f):
        return sum(1 for v in self.names.values() if v == f)


# A process: (pc, judged, attempts, judged_ok, mine, alive)
#   judged: (file, version, pid) of the lock judged, or None
#   mine: the file of its lock (after create)
def proc(pc, judged=None, attempts=0, judged_ok=False, mine=None, alive=True):
    return (pc, judged, attempts, judged_ok, mine, alive)


def set_proc(w, i, **changes):
    fields = dict(zip(("pc", "judged", "attempts", "judged_ok", "mine", "alive"), w.procs[i]))
    fields.update(changes)
    procs = list(w.procs)
    procs[i] = proc(**fields)
    w.procs = tuple(procs)


def pid_of(i):
    return "p%d" % i


def alive_pid(w, pid):
    for i, p in enumerate(w.procs):
        if pid_of(i) == pid:
            return p[5]
    return False  # the starting lock's owner "d" is dead


def host_of(pid):
    """The host of a login ("d", the starting point's killed session: the first)."""
    return 0 if pid == "d" else int(pid[1:]) % HOSTS[0]


def guard_domain(i):
    """Which guard login i takes: the one file, or its host's folder."""
    return host_of(pid_of(i)) if GUARD[0] == "folder" else 0


def same_host_dead(w, f, i):
    """made_by_dead_process, judged by login i: two links, one of them the
    second name of a dead process of i's own host."""
    pid = w.files[f][0]
    return (
        pid is not None
        and host_of(pid) == host_of(pid_of(i))
        and not alive_pid(w, pid)
        and w.nlink(f) == 2
        and w.names.get(own(pid)) == f
    )


def still_ours(w, i):
    mine = w.procs[i][4]
    return mine is not None and w.names.get(LOCK) == mine and w.files[mine][0] == pid_of(i)


def touch(w, f):
    """A link, rename or write renews the status-change time."""
    pid, version, _ = w.files[f]
    w.files[f] = (pid, version, False)


def guard_free(w, i):
    return w.guard[guard_domain(i)] is None


def set_guard(w, i, holder):
    guards = list(w.guard)
    guards[guard_domain(i)] = holder
    w.guard = tuple(guards)


def drop_guard(w, i):
    if w.guard[guard_domain(i)] == i:
        set_guard(w, i, None)


def release(n, i, label):
    """The end of judging: the guard is let go with the last step under it."""
    drop_guard(n, i)
    set_proc(n, i, pc="try", judged=None, judged_ok=True)
    return [(label, n)]


def step(w, i, guarded):
    """The next step of process i: a list of (label, new world).

    Long because it is the whole program of one process as a table, one
    branch per program counter in the order the code runs them; split up, the
    branches could no longer be read side by side with the C++ they model.
    """
    pc, judged, attempts, judged_ok, mine, alive = w.procs[i]
    me = pid_of(i)
    n = w.copy()

    def go(label, **changes):
        set_proc(n, i, **changes)
        return [(label, n)]

    # Steps that only read what no other process changes meanwhile (the
    # guard taken, then the lock looked at; a file moved to a name of our
    # own, then looked at) are one step here: an interleaving between them
    # is the same as one just before or after.
    if pc == "start" or pc == "retry_judge":
        if guarded:
            if not guard_free(w, i):
                return go("guard busy", pc="try")
            set_guard(n, i, i)
        f = w.names.get(LOCK)
        if f is None:
            return release(n, i, "look: no lock")
        pid, version, old = w.files[f]
        if not (old or same_host_dead(w, f, i)):
            return release(n, i, "look: fresh lock")
        return go("look: stale lock", pc="rename_aside", judged=(f, version, pid))
    if pc == "rename_aside":
        f = n.names.pop(LOCK, None)
        if f is None:
            return release(n, i, "rename aside: gone")
        n.names[aside(me)] = f
        touch(n, f)
        if (f, n.files[f][1], n.files[f][0]) == judged:
            return go("rename lock aside: the judged one", pc="unlink_aside")
        return go("rename lock aside: another", pc="link_back")
    if pc == "link_back":
        if LOCK not in n.names:
            n.names[LOCK] = n.names[aside(me)]
        return go("link back", pc="unlink_aside_kept")
    if pc in ("unlink_aside", "unlink_aside_kept"):
        del n.names[aside(me)]
        if pc == "unlink_aside_kept":
            return release(n, i, "unlink aside")
        return go("unlink aside (removed)", pc="unlink_owner")
    if pc == "unlink_owner":
        f, _, pid = judged
        if pid is not None and n.names.get(own(pid)) == f:
            del n.names[own(pid)]
        return release(n, i, "unlink judged lock's second name")
    if pc == "try":
        n.names.pop(own(me), None)
        f = "f%d.%d" % (i, attempts)  # a fresh file each attempt
        n.files[f] = (None, 0, False)
        n.names[own(me)] = f
        return go("create own file", pc="write_pid", mine=f)
    if pc == "write_pid":
        n.files[mine] = (me, 0, False)
        return go("write pid", pc="link")
    if pc == "link":
        if LOCK not in n.names:
            n.names[LOCK] = n.names[own(me)]
            touch(n, mine)
            return go("link to lock name: holds", pc="hold")
        return go("link to lock name fails", pc="check")
    if pc == "check":
        if n.nlink(mine) == 2:
            return go("link count 2: holds", pc="hold")
        n.names.pop(own(me), None)
        if attempts + 1 >= MAX_ATTEMPTS:
            return go("gives up", pc="done", mine=None)
        nxt = "try" if judged_ok else "retry_judge"
        return go("pause", pc=nxt, attempts=attempts + 1, mine=None)
    if pc == "hold":
        out = []
        if still_ours(w, i):
            r = w.copy()
            pid, version, _ = r.files[mine]
            r.files[mine] = (pid, version + 1, False)
            set_proc(r, i, pc="hold_renewed")
            out.append(("renew", r))
        q = w.copy()
        set_proc(q, i, pc="unlock")
        out.append(("QUIT", q))
        return out
    if pc == "hold_renewed":
        return go("QUIT", pc="unlock")
    if pc == "unlock":
        if guarded:
            if not guard_free(w, i):
                return []  # waits for the guard
            set_guard(n, i, i)
        if not still_ours(n, i):
            return go("unlock: not ours", pc="release_unlock")
        return go("unlock: ours", pc="u_rename")
    if pc == "u_rename":
        f = n.names.pop(LOCK, None)
        if f is None:
            return go("unlock rename: gone", pc="release_unlock")
        n.names[aside(me)] = f
        touch(n, f)
        if f == mine and n.files[f][0] == me:
            return go("unlock: rename aside: ours", pc="u_unlink")
        return go("unlock: rename aside: another", pc="u_link_back")
    if pc == "u_link_back":
        if LOCK not in n.names:
            n.names[LOCK] = n.names[aside(me)]
        return go("unlock: link back", pc="u_unlink")
    if pc == "u_unlink":
        del n.names[aside(me)]
        return go("unlock: unlink aside", pc="release_unlock")
    if pc == "release_unlock":
        drop_guard(n, i)
        if mine is not None and n.names.get(own(me)) == mine:
            del n.names[own(me)]
        return go("unlock: remove second name", pc="done", mine=None)
    return []


def crash(w, i):
    n = w.copy()
    drop_guard(n, i)  # the kernel (or the lock manager) drops a dead process's flock
    set_proc(n, i, pc="dead", alive=False)
    n.crashes += 1
    return n


def jump(w):
    """600 seconds pass. A live process acts within moments and a holder renews
    once a minute, so only the files of processes no longer alive get old."""
    n = w.copy()
    n.jumped = True
    for f, (pid, version, _) in w.files.items():
        n.files[f] = (pid, version, not alive_pid(w, pid))
    return n


HOLDING = ("hold", "hold_renewed")


def check(w):
    holders = [i for i, p in enumerate(w.procs) if p[5] and p[0] in HOLDING]
    if len(holders) > 1:
        return "two live holders: %s" % ", ".join(pid_of(i) for i in holders)
    for i in holders:
        if w.names.get(LOCK) != w.procs[i][4]:
            return "%s holds the maildrop but its lock is gone" % pid_of(i)
    return None


def later_login(w, guarded):
    """A login alone after the clock jump: takes, releases, sweeps."""
    n = w.copy()
    procs = [proc(p[0], p[1], p[2], p[3], p[4], False) for p in n.procs]  # all ended
    n.procs = tuple(procs)
    n = jump(n)
    procs = list(n.procs)
    procs.append(proc("start"))
    n.procs = tuple(procs)
    z = len(procs) - 1
    for _ in range(64):
        pc = n.procs[z][0]
        if pc in ("hold", "done"):
            break
        n = step(n, z, guarded)[0][1]
    if n.procs[z][0] != "hold":
        return "a later login could not take the lock: %s" % sorted(n.names.items())
    n = [nw for label, nw in step(n, z, guarded) if label == "QUIT"][0]
    while n.procs[z][0] != "done":
        n = step(n, z, guarded)[0][1]
    n = jump(n)
    # sweep_lock_leftovers: a file whose every name is a leftover ("own.*",
    # "aside.*"), or one with the second name of a dead process of the
    # sweeping login's host.
    lock_file = n.names.get(LOCK)
    found = {k: f for k, f in n.names.items() if k != LOCK and f != lock_file}
    for name, f in list(found.items()):
        every = all(k in found for k, v in n.names.items() if v == f)
        dead_name = any(
            k.startswith("own.") and v == f and not alive_pid(n, k[4:])
            and host_of(k[4:]) == host_of(pid_of(z))
            for k, v in found.items()
        )
        if (every and n.files[f][2]) or dead_name:
            n.names.pop(name, None)
    if n.names:
        return "left for ever: %s" % sorted(n.names)
    return None


def starting_points(contenders):
    procs = tuple(proc("start") for _ in range(contenders))
    out = []
    for label in ("no lock", "killed session's lock", "lock from another boot"):
        w = World()
        guards = (None,) * (HOSTS[0] if GUARD[0] == "folder" else 1)
        w.names, w.files, w.guard, w.jumped, w.crashes, w.procs = {}, {}, guards, False, 0, procs
        if label != "no lock":
            w.files["f_d"] = ("d", 0, False)
            w.names[LOCK] = "f_d"
            if label == "killed session's lock":
                w.names[own("d")] = "f_d"
        out.append((label, w))
    return out


def explore(contenders, crashes, guarded):
    """Returns (states, final states, first violation or None)."""
    total = finals = 0
    for label, start in starting_points(contenders):
        parent = {hash(start.key()): None}  # state's hash -> (parent's hash, step)
        queue = deque([start])
        while queue:
            w = queue.popleft()
            total += 1
            problem = check(w)
            moves = []
            for i, p in enumerate(w.procs):
                if not p[5] or p[0] == "done":
                    continue
                moves += [("%s: %s" % (pid_of(i), lab), nw) for lab, nw in step(w, i, guarded)]
                if w.crashes < crashes:
                    moves.append(("%s: killed" % pid_of(i), crash(w, i)))
            if not w.jumped:
                moves.append(("the clock jumps past 600 s", jump(w)))
            if problem is None and all(not p[5] or p[0] == "done" for p in w.procs):
                finals += 1
                problem = later_login(w, guarded)
            if problem is not None:
                return total, finals, (label, problem, trace(parent, hash(w.key())))
            here = hash(w.key())
            for lab, nw in moves:
                k = hash(nw.key())
                if k not in parent:
                    parent[k] = (here, lab)
                    queue.append(nw)
    return total, finals, None


def trace(parent, key):
    steps = []
    while parent[key] is not None:
        key, label = parent[key]
        steps.append(label)
    return list(reversed(steps))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--contenders", type=int, default=3)
    ap.add_argument("--crashes", type=int, default=1)
    ap.add_argument("--hosts", type=int, default=1)
    ap.add_argument("--guard", choices=("file", "folder", "none"), default="file")
    ap.add_argument("--unguarded", action="store_true")
    ap.add_argument("--expect-broken", action="store_true")
    args = ap.parse_args()
    HOSTS[0] = args.hosts
    GUARD[0] = "none" if args.unguarded else args.guard
    total, finals, found = explore(args.contenders, args.crashes, GUARD[0] != "none")
    kind = {"file": "as lock.cpp does it (the guard file)",
            "folder": "with the folder's flock as the guard",
            "none": "without a guard"}[GUARD[0]]
    print(
        "lock protocol %s: %d contenders on %d host(s), up to %d killed, clock jump: "
        "%d states, %d final states" % (kind, args.contenders, args.hosts, args.crashes, total,
                                        finals)
    )
    if found is None:
        print("every invariant holds")
        return 1 if args.expect_broken else 0
    label, problem, steps = found
    print("BROKEN (%s): %s" % (label, problem))
    for s in steps:
        print("  " + s)
    return 0 if args.expect_broken else 1


if __name__ == "__main__":
    sys.exit(main())
