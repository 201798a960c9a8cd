#!/usr/bin/env python3
"""Soak across two hosts over one mail store (the rig of tests/e2e/two_hosts.py).

Accounts are served alternately by both hosts through HAProxy's round robin
while procmail delivers through the third mount of the store. Sessions
RETR every message, check it against what was delivered, DELE some and QUIT;
some are killed (SIGKILL of the connection process) after the login, after
their DELEs, or right after QUIT was sent, so that rewrites are cut short on
either host and completed by a later login on the same host (a killed
session's lock from the other host waits for its 600 seconds: a login there
is refused meanwhile, which counts, and the account is tried again).

At the end one clean-up session per account reads what is left. A message is
lost when it was delivered, never deleted and is gone; duplicated when it
shows twice; torn when its bytes differ from what was delivered; resurrected
when its deletion was confirmed by +OK to QUIT and it shows again. Exit
status 0 only when all four counts are 0.

  soak_two_hosts.py [--seconds N] [--accounts N] [--seed N] [--uncached]
"""

import argparse
import ctypes
import os
import random
import signal
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))

from soak import enter_private_namespace  # noqa: E402
from soak_messages import unstuff, wire_lines  # noqa: E402

_PR_SET_CHILD_SUBREAPER = 36
PASSWORD = "soak-pw"


def make_message(rng, mid, user):
    lines = [b"From soak@example.org Thu Dec 10 09:00:00 2026",
             b"Message-ID: <%s@soak>" % mid.encode(), b"To: %s@example.org" % user.encode(), b""]
    for _ in range(rng.randint(1, 40)):
        lines.append(bytes(rng.choice(b"abcdefghij klmnop") for _ in range(rng.randint(0, 90))))
    # Ended by a blank line, as mbox messages are: procmail adds one otherwise.
    return b"\n".join(lines) + b"\n\n"


class TwoHostSoak:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.lock = threading.Lock()
        self.delivered = {}  # mid -> bytes
        self.deleted = set()  # confirmed by +OK to QUIT
        self.maybe_deleted = set()  # DELE sent, session killed or QUIT unanswered
        self.counts = {"sessions": 0, "refused (in use)": 0, "kills": 0, "deliveries": 0,
                       "deliveries failed": 0, "deleted": 0, "served by a": 0,
                       "served by b": 0}
        self.problems = {"lost": [], "duplicated": [], "torn": [], "resurrected": []}
        self.stop = threading.Event()

    def count(self, name, n=1):
        with self.lock:
            self.counts[name] = self.counts.get(name, 0) + n

    def deliverer(self, index):
        rng = random.Random("%d/deliver/%d" % (self.args.seed, index))
        n = 0
        while not self.stop.is_set():
            user = rng.choice(self.users)
            mid = "%s-d%d-%d" % (user, index, n)
            n += 1
            msg = make_message(rng, mid, user)
            with self.lock:
                self.delivered[mid] = (user, msg)
            try:
                status = self.rig.deliver(user, msg, timeout=90)
            except AssertionError:
                status = None
            self.count("deliveries" if status == 0 else "deliveries failed")
            if status != 0:
                # Not confirmed: it may or may not have landed.
                with self.lock:
                    self.maybe_deleted.add(mid)  # may or may not have landed
            self.stop.wait(rng.uniform(0, 0.2))

    def session(self, rng, user):
        kill_at = rng.choice([None, None, None, "login", "dele", "quit"])
        mark = self.log.mark()
        c = self.rig.connect(timeout=60)
        try:
            port = c.sock.getsockname()[1]
            if c.login(user, PASSWORD)[1] != "+OK":
                self.count("refused (in use)")
                return
            self.count("sessions")
            self.count("served by " + self.rig.host_of(port, self.log, since=mark))
            pid = self.session_pid(user)
            if kill_at == "login" and self.kill(pid):
                return
            count = int(c.cmd("STAT").split()[1])
            marked = []
            for n in range(1, count + 1):
                status, lines = c.multi("RETR %d" % n)
                assert status.startswith("+OK"), status
                self.check_message(user, lines)
                if rng.random() < 0.3:
                    assert c.cmd("DELE %d" % n) == "+OK"
                    marked.append(self.mid_of(lines))
            with self.lock:
                self.maybe_deleted.update(marked)
            if kill_at == "dele" and self.kill(pid):
                return
            c.sock.sendall(b"QUIT\r\n")
            if kill_at == "quit" and self.kill(pid):
                return
            if c.read_line().startswith(b"+OK"):
                with self.lock:
                    self.deleted.update(marked)
                    self.maybe_deleted.difference_update(marked)
                self.count("deleted", len(marked))
        finally:
            c.close()

    def session_pid(self, user):
        """The connection process (as seen here) that holds user's lock."""
        for host in self.rig.hosts.values():
            for pid in host.sessions():
                try:
                    with open("/proc/%d/status" % pid) as f:
                        uids = [ln for ln in f if ln.startswith("Uid:")][0].split()[1:]
                except OSError:
                    continue
                if int(uids[0]) == self.uid_of[user]:
                    return pid
        return None

    def kill(self, pid):
        if pid is None:
            return False
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            return False
        self.count("kills")
        return True

    @staticmethod
    def mid_of(lines):
        for line in lines:
            if line.startswith(b"Message-ID: <"):
                return line[13:].split(b"@", 1)[0].decode("ascii", "replace")
        return None

    def check_message(self, user, lines):
        """A message as RETR sent it (raw lines) against what was delivered."""
        mid = self.mid_of(lines)
        with self.lock:
            known = self.delivered.get(mid)
            gone = mid in self.deleted
        if known is None or known[0] != user or unstuff(lines) != wire_lines(known[1]):
            self.problems["torn"].append(mid)
        if gone:
            self.problems["resurrected"].append(mid)

    def worker(self, index):
        rng = random.Random("%d/worker/%d" % (self.args.seed, index))
        while not self.stop.is_set():
            user = rng.choice(self.users)
            try:
                self.session(rng, user)
            except (OSError, AssertionError, IndexError, ValueError) as e:
                self.count("sessions broken: %s" % type(e).__name__)

    def final(self):
        """One session per account through host a's own front (a killed
        session's lock of host b's may hold it for 600 seconds: it is
        removed, as an operator would once nothing runs)."""
        seen = {}
        for user in self.users:
            for host in self.rig.hosts.values():
                host.wait_sessions_ended(timeout=60)
            lock = os.path.join(self.rig.store, user + ".lock")
            if os.path.exists(lock):
                os.unlink(lock)
            with self.rig.hosts["a"].connect(timeout=120) as c:
                assert c.login(user, PASSWORD) == ("+OK", "+OK")
                count = int(c.cmd("STAT").split()[1])
                for n in range(1, count + 1):
                    status, lines = c.multi("RETR %d" % n)
                    mid = self.mid_of(lines)
                    self.check_message(user, lines)
                    if mid in seen:
                        self.problems["duplicated"].append(mid)
                    seen[mid] = user
                assert c.cmd("QUIT").startswith("+OK")
        for mid, (user, _) in self.delivered.items():
            if mid not in seen and mid not in self.deleted and mid not in self.maybe_deleted:
                self.problems["lost"].append(mid)

    def run(self):
        from pop3_sandbox import Sandbox
        from pop3_server import server_binary
        from two_hosts import Rig

        args = self.args
        self.sandbox = Sandbox()
        self.log = self.sandbox.syslog
        self.rig = None
        try:
            self.rig = Rig(self.sandbox, server_binary(), cache=not args.uncached)
            self.users, self.uid_of = [], {}
            for i in range(args.accounts):
                user = "soak%02d" % i
                acct = self.sandbox.add_user(user, PASSWORD)
                path = os.path.join(self.rig.store, user)
                open(path, "wb").close()
                os.chown(path, acct.uid, 8)
                os.chmod(path, 0o660)
                self.users.append(user)
                self.uid_of[user] = acct.uid
            # procmail waits for a held dot-lock in steps of LOCKSLEEP seconds.
            self.sandbox.write_etc("procmailrc", "LOCKSLEEP=1\n", 0o644)
            self.rig.start()
            started = time.monotonic()
            threads = [threading.Thread(target=self.deliverer, args=(i,), daemon=True)
                       for i in range(2)]
            threads += [threading.Thread(target=self.worker, args=(i,), daemon=True)
                        for i in range(args.concurrency)]
            for t in threads:
                t.start()
            self.stop.wait(args.seconds)
            self.stop.set()
            for t in threads:
                t.join(timeout=180)
            self.final()
            elapsed = time.monotonic() - started
        finally:
            if self.rig is not None:
                self.rig.close()
            self.sandbox.close()
        print("two-host soak: %d s, %d accounts, attribute cache %s, seed %d"
              % (elapsed, args.accounts, "off" if args.uncached else "on", args.seed))
        for name, value in sorted(self.counts.items()):
            print("  %-28s %d" % (name, value))
        print("  %-28s %d" % ("messages delivered", len(self.delivered)))
        bad = 0
        for name, mids in self.problems.items():
            print("  %-28s %d%s" % ("messages " + name, len(mids),
                                     (" " + ", ".join(sorted(set(mids))[:5])) if mids else ""))
            bad += len(mids)
        return 1 if bad else 0


def main():
    p = argparse.ArgumentParser(description="Soak across two hosts over one store.")
    p.add_argument("--seconds", type=float, default=60)
    p.add_argument("--accounts", type=int, default=6)
    p.add_argument("--concurrency", type=int, default=4)
    p.add_argument("--seed", type=int, default=36)
    p.add_argument("--uncached", action="store_true", help="mounts without attribute cache")
    args = p.parse_args()
    enter_private_namespace(__file__)
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(_PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        sys.exit("soak: prctl(PR_SET_CHILD_SUBREAPER) failed")
    sys.exit(TwoHostSoak(args).run())


if __name__ == "__main__":
    main()
