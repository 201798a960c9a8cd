#!/usr/bin/env python3
"""Soak of tollmar under load and faults, with real deliveries.

Runs the real server binary ($TOLLMAR_BIN) as root inside the end-to-end
sandbox of tests/e2e (private mount namespace, tmpfs /var/mail, test account
files, captured /dev/log). Four listeners share the same maildrops: plain
and with TLS on the whole connection, each once with spool copies and once
serving in place (-X), which keeps an index beside each maildrop.

While many POP3 sessions run at once (random mixes of STAT, LIST, UIDL, TOP,
RETR, DELE, RSET, NOOP and QUIT, some keeping their mail, some deleting),
two delivery agents append to the same maildrops:

* procmail (`procmail -d USER`, as an MTA runs it), which takes the dot-lock
  <maildrop>.lock and an fcntl lock on the whole file; tollmar's lockf is an
  fcntl lock on Linux, so the two exclude each other;
* lockf_agent.py, which honours only the kernel lock and ignores the
  dot-lock, so it appends while sessions run.

Faults are injected at random: SIGKILL of a session process (during a
command, between commands, right after QUIT was sent, as soon as a journal
appears after QUIT, right after QUIT was answered) or of a pre-login process
(after the greeting, after USER, right after PASS), clients that vanish in
the middle of a RETR (connection reset), sessions stopped (SIGSTOP) while
their dot-lock expires as after 600 seconds, and a spool folder (-x) that is
filled up with a ballast file for a while.

The model (soak_model.py): per account, which messages were delivered and
which deleted; every listing, RETR and TOP is checked against it as it
arrives, and at the end, after one clean-up session per account, each
maildrop is parsed with the server's rule and compared with it. No spool
file, dot-lock or journal may remain. The messages (soak_messages.py) carry
their id within the first 255 bytes, so a UIDL names its message.

The parts: soak_messages.py (messages, wire forms), soak_model.py (the model
and its checks), soak_deliveries.py (the agents), soak_faults.py (kills,
stops, a full spool folder), soak_sessions.py (the POP3 sessions),
soak_report.py (the figures); this file sets up the servers and runs it all.

A SIGKILLed session cannot clean up after itself: its dot-lock, the lock's
second name, its spool folder in -x and perhaps a journal stay. The server
clears them, not the soak: the next session of that maildrop takes over a
lock whose process is dead on this host and completes or discards the
journal; the listener, reaping a session killed by a signal, has the
account's folders of dead sessions removed (and so does every session of the
account as it ends); QUIT sweeps second names of dead processes. The final session of every account
therefore must leave nothing behind.

With privilege separation each connection has two processes: the session
(the connection process, which takes the dot-lock after the login) and the
pre-login process (nobody, chrooted) that speaks to the client until the
login. Kills hit the session; some connections instead lose their pre-login
process before or in the middle of the login, which must end the connection
and leave nothing.

The run is bounded (a number of sessions and a time limit) and seeded:
messages and each session's plan derive from the seed; the interleaving of
threads and processes does not. Exit status 0 only when nothing was lost,
duplicated, torn, forged, resurrected or left behind.
"""

import argparse
import collections
import ctypes
import os
import subprocess
import sys
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
E2E = os.path.join(os.path.dirname(HERE), "e2e")
sys.path.insert(0, E2E)

_NAMESPACE_MARK = "TOLLMAR_SOAK_NAMESPACE"
_PR_SET_CHILD_SUBREAPER = 36

from soak_deliveries import Deliveries
from soak_faults import Faults
from soak_model import PASSWORD, Account, Figures, ModelChecks
from soak_report import Report
from soak_sessions import Sessions


def enter_private_namespace(script=__file__):
    """Re-runs this command (the script `script`) under unshare (private
    mounts), unless already inside."""
    if os.environ.get(_NAMESPACE_MARK) == str(os.getpid()):
        return
    if os.geteuid() != 0:
        sys.exit("soak: must run as root (private mount namespace, identity switches)")
    env = dict(os.environ)
    env[_NAMESPACE_MARK] = str(os.getpid())  # unshare execs, so the pid stays
    sys.stdout.flush()
    os.execvpe("unshare", ["unshare", "--mount", "--propagation", "private",
                           sys.executable, os.path.abspath(script), *sys.argv[1:]], env)


class Soak(ModelChecks, Deliveries, Faults, Sessions, Report):
    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.fig = Figures()
        self.anomalies = []
        self.anomaly_counts = collections.Counter()  # distinct anomalies per kind
        self.anomaly_seen = {}  # (kind, account, key) -> sightings
        self.uidl_owner = {}   # UIDL -> (account, id)
        self.accounts = []
        self.killed_pids = set()
        self.stop_deliveries = threading.Event()
        self.stop_ballast = threading.Event()
        self.next_session = 0
        self.started = 0.0

    def say(self, text):
        print(text, flush=True)

    def setup(self):
        from pop3_sandbox import Sandbox, hash_password, MAIL_GID
        from pop3_server import ServerControl

        self.sandbox = Sandbox()
        sb = self.sandbox
        # Room for the big maildrops and their journals.
        sb.tmpfs("/var/mail", 0o2775, size="256m", gid=MAIL_GID)
        hashed = hash_password(PASSWORD)
        for i in range(self.args.accounts):
            name = "soak%02d" % i
            acct = sb.add_user(name, PASSWORD, hashed=hashed)
            path = sb.write_mbox(name, b"")
            self.accounts.append(Account(name, acct.uid, path))
        self.mail_gid = MAIL_GID
        self.fill_big_accounts()
        # procmail waits for a held dot-lock in steps of LOCKSLEEP seconds.
        sb.write_etc("procmailrc", "LOCKSLEEP=1\n", 0o644)
        self.check_procmail()

        cert = os.path.join(sb.files_dir, "cert.pem")
        key = os.path.join(sb.files_dir, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                        "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=localhost"],
                       check=True, capture_output=True)
        self.control = ServerControl(sb, lambda: (cert, key))
        # Every connection comes from 127.0.0.1: the per-address limit must
        # leave room for the concurrent sessions and those still ending.
        limit = ("-n", str(max(100, 4 * self.args.concurrency)))
        self.plain = self.control.start(*limit)
        self.tls = self.control.start(*limit, tls=True)
        # Half of the servers serve in place (-X): their sessions and those
        # with spool copies take turns on the same maildrops, so each -X login
        # meets indexes left by -X sessions, maildrops rewritten since by the
        # others, and indexes of sessions killed at any point.
        self.plain_x = self.control.start(*limit, "-X")
        self.tls_x = self.control.start(*limit, "-X", tls=True)
        self.listeners = {self.plain.pid, self.tls.pid, self.plain_x.pid, self.tls_x.pid}

    def check_leftovers(self):
        from pop3_server import children_of, wait_until
        wait_until(lambda: not any(children_of(p) for p in self.listeners),
                   "every connection process to end", timeout=60)
        names = {a.name for a in self.accounts}
        # The index an in-place session keeps beside a maildrop, and the
        # takeover guard of its lock, stay by design.
        kept = {n + suffix for n in names for suffix in (".tollmar-index", ".lock.guard")}
        for name in sorted(os.listdir(self.sandbox.mail_dir)):
            if name not in names and name not in kept:
                self.anomaly("left in the mail folder", name, "end", name)
        for name in sorted(os.listdir(self.sandbox.spool_tmp)):
            self.anomaly("left in the spool folder", name, "end", name)

    def run(self):
        args = self.args
        self.setup()
        try:
            self.say("soak: seed %d, %d accounts, %d sessions (%d at a time), limit %ds, binary %s"
                     % (args.seed, args.accounts, args.sessions, args.concurrency,
                        args.time_limit, self.control.binary))
            # Some mail in every maildrop before the first session.
            prefill = [threading.Thread(target=self.deliverer, args=(kind, i, args.prefill))
                       for kind in ("procmail", "lockf") for i in range(2)]
            for t in prefill:
                t.start()
            for t in prefill:
                t.join()
            self.started = time.monotonic()
            agents = [threading.Thread(target=self.deliverer, args=(kind, i), daemon=True)
                      for kind, n in (("procmail", args.procmail_agents),
                                      ("lockf", args.lockf_agents)) for i in range(n)]
            ballast = threading.Thread(target=self.ballast, daemon=True)
            workers = [threading.Thread(target=self.worker, daemon=True)
                       for _ in range(args.concurrency)]
            for t in agents + [ballast] + workers:
                t.start()
            last = time.monotonic()
            while any(t.is_alive() for t in workers):
                for t in workers:
                    t.join(timeout=1)
                if time.monotonic() - last >= args.progress:
                    last = time.monotonic()
                    self.say("soak: %d sessions, %d delivered, %d kills, %d anomalies" % (
                        self.fig.c["sessions"], self.fig.c["delivered"],
                        self.fig.c["kills injected"], sum(self.anomaly_counts.values())))
            self.stop_deliveries.set()
            self.stop_ballast.set()
            for t in agents + [ballast]:
                t.join()
            elapsed = time.monotonic() - self.started
            for acct in self.accounts:
                try:
                    self.final_session(acct)
                    self.check_maildrop(acct)
                except Exception:
                    self.anomaly("harness error", acct.name, "final", traceback.format_exc())
            self.check_leftovers()
            return self.report(elapsed)
        finally:
            self.control.close()
            self.sandbox.close()


def parse_args(argv):
    p = argparse.ArgumentParser(description="Soak of tollmar with deliveries and faults.")
    p.add_argument("--long", action="store_true",
                   help="the long form: 10,000 sessions, at least 100 kills expected")
    p.add_argument("--seed", type=int, default=14)
    p.add_argument("--accounts", type=int, default=50)
    p.add_argument("--concurrency", type=int, default=20)
    p.add_argument("--sessions", type=int, default=None, help="sessions to run")
    p.add_argument("--time-limit", type=float, default=None, help="seconds; no new session after")
    p.add_argument("--kill-rate", type=float, default=0.04)
    p.add_argument("--vanish-rate", type=float, default=0.03)
    p.add_argument("--stall-rate", type=float, default=0.01,
                   help="share of sessions stopped while their dot-lock expires")
    p.add_argument("--prelogin-kill-rate", type=float, default=0.01,
                   help="share of connections whose pre-login process is killed")
    p.add_argument("--delete-share", type=float, default=0.2)
    p.add_argument("--tls-share", type=float, default=0.25)
    p.add_argument("--hostile-rate", type=float, default=0.02,
                   help="share of messages with a 'From ' right after a 4095-byte line piece")
    p.add_argument("--procmail-agents", type=int, default=2)
    p.add_argument("--lockf-agents", type=int, default=2)
    p.add_argument("--prefill", type=int, default=250,
                   help="messages each of 4 agents delivers before the sessions start")
    p.add_argument("--big-accounts", type=int, default=4,
                   help="accounts that start with a large maildrop")
    p.add_argument("--big-size", type=int, default=3 << 20, help="bytes of such a maildrop")
    p.add_argument("--delivery-pause", type=float, default=0.05)
    p.add_argument("--io-timeout", type=float, default=60)
    p.add_argument("--progress", type=float, default=15)
    args = p.parse_args(argv)
    if args.sessions is None:
        args.sessions = 10000 if args.long else 4000
    if args.time_limit is None:
        args.time_limit = 7200 if args.long else 60
    return args


def main():
    args = parse_args(sys.argv[1:])
    enter_private_namespace()
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(_PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        sys.exit("soak: prctl(PR_SET_CHILD_SUBREAPER) failed")
    sys.setswitchinterval(0.0005)  # the kill watching for a journal must react quickly
    sys.exit(Soak(args).run())


if __name__ == "__main__":
    main()
