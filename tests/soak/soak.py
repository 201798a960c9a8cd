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

The model: every message carries a unique id in its "From " line, its
Message-ID and an X-Soak-Id header, all within the first 255 bytes, so its
UIDL (the MD5 of those bytes) identifies it without a RETR. Per account the
soak knows which messages were delivered and which were deleted:

* "+OK" to QUIT makes the session's DELEs final;
* "-ERR" to QUIT means nothing was deleted;
* a killed or vanished session (or a QUIT without an answer) may or may not
  have deleted what it marked: each such message may be present or absent.

Every listing is checked as it arrives (no unknown, torn, duplicated or
resurrected message, no delivered message missing), every RETR and TOP is
compared byte for byte with what was delivered (line ends and dot-stuffing
undone, the separator line not sent, every line whole), and at the end,
after one clean-up session per account, each maildrop is parsed with the
server's rule (a message starts at a "From " line at the start of the file
or after a line end) and compared with the model. No spool file, dot-lock or
journal may remain.

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
import hashlib
import os
import random
import re
import signal
import socket
import struct
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

CHUNK = 4095  # the server reads a maildrop in pieces of at most this many bytes
PASSWORD = "soak-pass"
MAX_DETAILS_PER_KIND = 8  # anomalies shown in full per kind; all are counted


def enter_private_namespace():
    """Re-runs this command under unshare (private mounts), unless already inside."""
    if os.environ.get(_NAMESPACE_MARK) == str(os.getpid()):
        return
    if os.geteuid() != 0:
        sys.exit("soak: must run as root (private mount namespace, identity switches)")
    env = dict(os.environ)
    env[_NAMESPACE_MARK] = str(os.getpid())  # unshare execs, so the pid stays
    sys.stdout.flush()
    os.execvpe("unshare", ["unshare", "--mount", "--propagation", "private",
                           sys.executable, os.path.abspath(__file__), *sys.argv[1:]], env)


def unique_id_of(data):
    """The server's UIDL of a message: MD5 of its first 255 bytes as four 32-bit words."""
    digest = hashlib.md5(data[:255]).digest()
    return "".join("%08x" % w for w in struct.unpack("<4I", digest))


def wire_lines(data):
    """The lines the server sends for a stored message (before dot-stuffing):
    every line after the separator line, whole however long, without its line
    end (an LF, and a CR right before it)."""
    if data.startswith(b"From "):
        data = data.split(b"\n", 1)[1] if b"\n" in data else b""
    lines = data.split(b"\n")
    last = lines.pop()  # after the final LF: empty, or a line without a line end
    out = [line[:-1] if line.endswith(b"\r") else line for line in lines]
    return out + [last] if last else out


def octets(data):
    """LIST's size of a stored message: what RETR sends, each line with CR LF."""
    return sum(len(line) + 2 for line in wire_lines(data))


def top_lines(data, count):
    """What TOP n count sends: the header lines, the blank line, `count` body lines."""
    lines = wire_lines(data)
    for i, line in enumerate(lines):
        if line == b"":
            return lines[:i + 1] + lines[i + 1:i + 1 + count]
    return lines


def unstuff(raw_lines):
    """Received multi-line body lines (with CR LF, dot-stuffed) as plain lines."""
    out = []
    for line in raw_lines:
        if not line.endswith(b"\r\n"):
            return None  # a bare LF or a cut line: not what a server may send
        line = line[:-2]
        out.append(line[1:] if line.startswith(b".") else line)
    return out


def split_mbox(data):
    """Messages of an mbox by the server's rule: one starts at a "From " line at
    the start of the file or right after a line end."""
    starts = [0] if data.startswith(b"From ") else []
    starts += [m.start() + 1 for m in re.finditer(rb"\nFrom ", data)]
    if data and (not starts or starts[0] != 0):
        starts.insert(0, 0)  # bytes before the first message: reported as unknown
    return [data[a:b] for a, b in zip(starts, starts[1:] + [len(data)])]


# -- messages -------------------------------------------------------------------

WORDS = ("mail spool lock journal rewrite quit retr list uidl dele rset top "
         "delivery agent kernel fcntl dot tmpfs ballast kill signal session "
         "message header body line from to subject date").split()


def random_text(rng, length):
    words = []
    size = 0
    while size < length:
        w = rng.choice(WORDS)
        words.append(w)
        size += len(w) + 1
    return " ".join(words)[:length]


def body_line(rng):
    """One body line of a random kind (no LF), never starting with "From "."""
    kind = rng.random()
    if kind < 0.10:
        return ">From someone@example.org Thu Dec 10 11:00:00 2026"  # escaped by the agent
    if kind < 0.14:
        return ">>From the archive, twice escaped"
    if kind < 0.20:
        return rng.choice([".", "..", ".hidden", "...three dots", ". spaced"])
    if kind < 0.25:
        return ""
    if kind < 0.28:
        return "From" + random_text(rng, 20)  # "From" without the space: not a separator
    if kind < 0.32:
        # A long line, sometimes right at the server's 4095-byte piece size,
        # with "From " inside but never where a piece begins.
        length = rng.choice([CHUNK - 1, CHUNK, CHUNK + 1, rng.randint(4096, 9000)])
        text = random_text(rng, length)
        pos = rng.randrange(1, length - 5)
        if pos % CHUNK == 0:
            pos += 1
        return (text[:pos] + "From " + text[pos:])[:length]
    if kind < 0.34:
        return "Caf\xe9 na\xefve \xbfqu\xe9? \ttabbed\t trailing  "
    return random_text(rng, rng.randint(1, 120))


def make_message(rng, mid, user, hostile):
    """One message (mbox bytes, ending with a blank line) carrying id `mid`.

    A hostile message holds a body line of exactly 4095 bytes followed, on the
    same line, by "From " and forged headers: a sender can write that, and no
    agent escapes it, since it is not at the start of a line.
    """
    head = ("From soak-%s@soak.example Thu Dec 10 12:00:00 2026\n"
            "Message-ID: <%s@soak.example>\n"
            "X-Soak-Id: %s\n"
            "From: Soak Sender <soak@soak.example>\n"
            "To: %s@localhost\n"
            "Subject: soak %s\n"
            "Date: Thu, 10 Dec 2026 12:00:00 +0000\n"
            "\n") % (mid, mid, mid, user, mid)
    lines = [body_line(rng) for _ in range(rng.randint(1, 40))]
    if hostile:
        lines.insert(rng.randrange(len(lines) + 1),
                     "x" * CHUNK + "From forged@evil.example Thu Dec 10 12:00:00 2026")
        lines.insert(rng.randrange(len(lines) + 1), "Subject: forged")
    return (head + "\n".join(lines) + "\n\n").encode("latin-1")


# -- the model --------------------------------------------------------------------


class Account:
    def __init__(self, name, uid, path):
        self.name = name
        self.uid = uid
        self.path = path
        self.generated = {}          # id -> bytes handed to an agent
        self.delivered = set()       # the agent ended with status 0
        self.delivery_failed = set() # the agent failed: may be present (then exact) or absent
        self.final_deleted = {}      # id -> how: deleted by a QUIT answered "+OK"
        self.maybe_deleted = set()   # marked by a killed / vanished / unanswered session
        self.pending = {}            # session number -> ids marked by DELE, outcome not yet known
        self.unique_ids = {}         # id -> UIDL first listed (stability check)


class Figures:
    def __init__(self):
        self.c = collections.Counter()

    def add(self, name, n=1):
        self.c[name] += n


# The answer of a session served in place to RETR or TOP once its dot-lock is
# gone: another session may have rewritten the maildrop at its offsets.
NOT_IN_MAILDROP = "-ERR [SYS/TEMP] message no longer in the maildrop"


class SessionFailure(Exception):
    """The server answered something no correct server may send."""


class Soak:
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

    # -- reporting --------------------------------------------------------------

    def anomaly(self, kind, account, session, detail, pid=None, key=None):
        with self.lock:
            self._note(kind, (account, session), detail, pid, key)

    def say(self, text):
        print(text, flush=True)

    # -- setup ------------------------------------------------------------------

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

    def fill_big_accounts(self):
        """The first accounts start with large maildrops, so that a rewrite takes
        long enough to be killed in the middle."""
        rng = random.Random("%d/big" % self.args.seed)
        for index, acct in enumerate(self.accounts[:self.args.big_accounts]):
            size = 0
            with open(acct.path, "ab") as f:
                while size < self.args.big_size:
                    mid = "%d-big%d-%d" % (self.args.seed, index, len(acct.generated))
                    msg = make_message(rng, mid, acct.name, False)
                    self.register(acct, mid, msg)
                    f.write(msg)
                    acct.delivered.add(mid)
                    size += len(msg)
            self.fig.add("delivered", len(acct.generated))
            self.fig.add("delivered into big maildrops before the start", len(acct.generated))

    def register(self, acct, mid, msg):
        with self.lock:
            acct.generated[mid] = msg
            self.uidl_owner[unique_id_of(msg)] = (acct, mid)

    def check_procmail(self):
        """procmail must store a message exactly as given (it would otherwise
        change what the model expects): checked once on a scratch account."""
        from pop3_sandbox import read_bytes

        rng = random.Random("%d/calibration" % self.args.seed)
        name = "soakcal"
        self.sandbox.add_user(name, PASSWORD)
        path = self.sandbox.write_mbox(name, b"")
        msg = make_message(rng, "calibration", name, hostile=False)
        p = subprocess.run(["procmail", "-d", name], input=msg, capture_output=True,
                           env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}, timeout=60)
        got = read_bytes(path)
        if p.returncode != 0 or got != msg:
            sys.exit("soak: procmail does not store messages verbatim (status %d, %d bytes "
                     "stored of %d; stderr %r)" % (p.returncode, len(got), len(msg), p.stderr))
        os.unlink(path)

    # -- deliveries -------------------------------------------------------------

    def deliverer(self, kind, index, count=None):
        """Delivers with one agent until told to stop (or `count` messages)."""
        phase = "prefill" if count is not None else "run"
        rng = random.Random("%d/deliver/%s/%s/%d" % (self.args.seed, phase, kind, index))
        n = 0
        while not self.stop_deliveries.is_set() and (count is None or n < count):
            acct = rng.choice(self.accounts)
            mid = "%d-%s%s%d-%d" % (self.args.seed, phase[0], kind[0], index, n)
            n += 1
            msg = make_message(rng, mid, acct.name, rng.random() < self.args.hostile_rate)
            self.register(acct, mid, msg)
            if kind == "procmail":
                argv = ["procmail", "-d", acct.name]
            else:
                argv = [sys.executable, os.path.join(HERE, "lockf_agent.py"), acct.path]
            try:
                p = subprocess.run(argv, input=msg, capture_output=True, timeout=120,
                                   env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"})
                status = p.returncode
            except subprocess.TimeoutExpired:
                status = None
            with self.lock:
                if status == 0:
                    acct.delivered.add(mid)
                    self.fig.add("delivered")
                    self.fig.add("delivered by " + kind)
                else:
                    acct.delivery_failed.add(mid)
                    self.fig.add("deliveries failed (%s)" % kind)
            if count is None:
                # Pace: during the run the agents are a steady stream, not a flood.
                self.stop_deliveries.wait(rng.uniform(0, 2 * self.args.delivery_pause))

    # -- spool folder filling up ------------------------------------------------

    def ballast(self):
        rng = random.Random("%d/ballast" % self.args.seed)
        path = os.path.join(self.sandbox.spool_tmp, "soak-ballast")
        while not self.stop_ballast.wait(rng.uniform(2, 6)):
            st = os.statvfs(self.sandbox.spool_tmp)
            free = st.f_bavail * st.f_frsize
            try:
                with open(path, "wb") as f:
                    block = b"\0" * (1 << 20)
                    while free > 0:
                        try:
                            free -= f.write(block[:max(4096, min(len(block), free))])
                            f.flush()
                        except OSError:
                            break
            except OSError:
                pass
            self.fig.add("spool folder filled")
            self.stop_ballast.wait(rng.uniform(0.3, 2.0))
            os.unlink(path)

    # -- sessions ---------------------------------------------------------------

    def session_pid(self, acct):
        """The connection process holding acct's dot-lock (one of our listeners' children)."""
        from pop3_server import parent_pid
        try:
            with open(acct.path + ".lock", "rb") as f:
                pid = int(f.read(32))
        except (OSError, ValueError):
            return None
        return pid if parent_pid(pid) in self.listeners else None

    def note_dead(self, acct, pid):
        """After a SIGKILL: waits for the process to be gone and counts what it
        left for the server to clear (nothing is removed here)."""
        from pop3_server import is_alive, wait_until
        wait_until(lambda: not is_alive(pid), "killed process %d to end" % pid, timeout=30)
        # What the kill interrupted: a journal under its final name is for the
        # next session to complete, a temporary one for it to discard.
        for suffix, what in ((".tollmar-journal", "kills that left a journal"),
                             (".tollmar-journal.tmp", "kills that left a temporary journal")):
            if os.path.exists(acct.path + suffix):
                self.fig.add(what)
        try:
            with open(acct.path + ".lock", "rb") as f:
                if f.read(32) == str(pid).encode():
                    self.fig.add("kills that left a dot-lock")
        except FileNotFoundError:
            pass
        # The session's folder, unless the listener has cleared it already.
        prefix = ".tollmar_%d_" % pid
        left = sum(name.startswith(prefix) for _, _, names in os.walk(self.sandbox.spool_tmp)
                   for name in names)
        self.fig.add("spool files left by kills", left)

    def prelogin_pid(self, c, port):
        """The pre-login process of the client connection c (server side of the
        socket, held by a grandchild of a listener), or None."""
        from pop3_server import children_of, parent_pid
        local = c.sock.getsockname()[1]
        inodes = set()
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            try:
                with open(table) as f:
                    rows = f.read().splitlines()[1:]
            except OSError:
                continue
            for row in rows:
                fields = row.split()
                if (int(fields[1].rsplit(":", 1)[1], 16) == port
                        and int(fields[2].rsplit(":", 1)[1], 16) == local):
                    inodes.add("socket:[%s]" % fields[9])
        for listener in self.listeners:
            for conn in children_of(listener):
                for pid in children_of(conn):
                    try:
                        fds = os.listdir("/proc/%d/fd" % pid)
                        if any(os.readlink("/proc/%d/fd/%s" % (pid, fd)) in inodes
                               for fd in fds):
                            return pid if parent_pid(pid) == conn else None
                    except OSError:
                        continue
        return None

    def kill_prelogin(self, rng, acct, no, c, server):
        """Kills the connection's pre-login process after the greeting, after
        USER or right after PASS was sent: the client must see the connection
        end (or a refusal), never a session."""
        from pop3_server import is_alive, wait_until
        moment = rng.choice(["greeting", "user", "pass-sent"])
        if moment != "greeting":
            c.cmd("USER " + acct.name)
        pid = self.prelogin_pid(c, server.port)
        if pid is None:
            self.anomaly("no pre-login process found", acct.name, no, "at " + moment)
            return
        if moment == "pass-sent":
            c.send_line("PASS " + PASSWORD)
        os.kill(pid, signal.SIGKILL)
        wait_until(lambda: not is_alive(pid), "pre-login process %d to end" % pid, timeout=30)
        self.fig.add("pre-login processes killed")
        try:
            while True:
                line = c.read_line()
                if not line:
                    break
                if moment == "pass-sent" and c._text(line).startswith("+OK"):
                    # The login went through before the kill: a normal session
                    # that the client leaves without QUIT.
                    self.fig.add("  logins done before the pre-login kill")
                    break
        except (OSError, EOFError, ValueError):
            pass

    def stall(self, rng, acct, pid):
        """A session that stops long enough for its dot-lock to count as stale
        (a suspended process, a clock step): SIGSTOP, the lock removed as the
        600-second rule would, other sessions and agents go on, SIGCONT. The
        session then carries on; a sound server refuses to rewrite without its
        lock."""
        from pop3_server import process_state, wait_until
        os.kill(pid, signal.SIGSTOP)
        wait_until(lambda: process_state(pid) in ("T", "t", None), "process %d to stop" % pid)
        robbed = False
        try:
            with open(acct.path + ".lock", "rb") as f:
                if f.read(32) == str(pid).encode():
                    os.unlink(acct.path + ".lock")
                    self.fig.add("dot-locks expired under a stopped session")
                    robbed = True
        except FileNotFoundError:
            pass
        self.fig.add("sessions stopped")
        time.sleep(rng.uniform(0.2, 1.0))  # how long the session stays stopped
        os.kill(pid, signal.SIGCONT)
        return robbed

    def check_listing(self, acct, no, uidls, sizes, snapshot, pid):
        """Checks a session's view of the maildrop; returns {number: id}."""
        where = (acct.name, no)
        ids = {}
        with self.lock:
            if sorted(uidls) != sorted(sizes):
                self.anomaly_counts["listing mismatch"] += 1
            seen = set()
            for num in sorted(uidls):
                owner = self.uidl_owner.get(uidls[num])
                if owner is None:
                    self._note("unknown message (torn or forged)", where,
                               "message %d, UIDL %s, size %s" % (num, uidls[num], sizes.get(num)),
                               pid, key=uidls[num])
                    continue
                owner_acct, mid = owner
                if owner_acct is not acct:
                    self._note("misdelivered", where, "%s of %s" % (mid, owner_acct.name), pid)
                    continue
                if mid in seen:
                    self._note("duplicated", where, "%s (message %d)" % (mid, num), pid, mid)
                    continue
                seen.add(mid)
                ids[num] = mid
                if sizes.get(num) != octets(acct.generated[mid]):
                    self._note("torn", where, "%s: LIST %s octets, delivered %d" % (
                        mid, sizes.get(num), octets(acct.generated[mid])), pid, mid)
                if mid in acct.final_deleted:
                    self._note("resurrected", where, "%s, deleted by %s" % (
                        mid, acct.final_deleted[mid]), pid, mid)
                first = acct.unique_ids.setdefault(mid, uidls[num])
                if first != uidls[num]:
                    self._note("unstable UIDL", where, mid, pid, mid)
            pending = set().union(*acct.pending.values()) if acct.pending else set()
            missing = snapshot - seen - set(acct.final_deleted) - acct.maybe_deleted - pending
            for mid in sorted(missing):
                self._note("lost", where, "%s delivered before the session, not deleted" % mid,
                           pid, mid)
        return ids

    def _note(self, kind, where, detail, pid, key=None):
        """Records an anomaly once per (kind, account, key): the same torn message
        seen by twenty sessions is one torn message (later sightings are counted)."""
        ident = (kind, where[0], detail if key is None else key)
        if ident in self.anomaly_seen:
            self.anomaly_seen[ident] += 1
            return
        self.anomaly_seen[ident] = 1
        self.anomaly_counts[kind] += 1
        if self.anomaly_counts[kind] <= MAX_DETAILS_PER_KIND:
            self.anomalies.append((kind, where[0], where[1], detail, pid, ident))

    def read_listing(self, c, command):
        status, body = c.multi(command)
        if not status.startswith("+OK"):
            raise SessionFailure("%s answered %r" % (command, status))
        table = {}
        for line in body:
            fields = line.decode("latin-1").split()
            table[int(fields[0])] = int(fields[1]) if command == "LIST" else fields[1]
        return table

    def compare(self, acct, no, pid, what, mid, got, expected):
        if got is None or got != expected:
            first = next((i for i, (a, b) in enumerate(zip(got or [], expected)) if a != b),
                         min(len(got or []), len(expected)))
            self.anomaly("torn", acct.name, no, "%s of %s differs from the delivered bytes at "
                          "line %d (%d lines received, %d expected)" % (
                              what, mid, first, len(got or []), len(expected)), pid, mid)
            return False
        return True

    def session(self, no):
        from pop3_client import Pop3Client

        args = self.args
        rng = random.Random("%d/session/%d" % (args.seed, no))
        acct = rng.choice(self.accounts)
        tls = rng.random() < args.tls_share
        r = rng.random()
        fault = None
        for name, rate in (("kill", args.kill_rate), ("vanish", args.vanish_rate),
                           ("stall", args.stall_rate), ("prelogin", args.prelogin_kill_rate)):
            if fault is None and r < rate:
                fault = name
            r -= rate
        deleting = rng.random() < args.delete_share
        ops = rng.randint(1, 10)
        kill_point = rng.choices(["between", "inflight", "quit-sent", "rewrite", "quit-answered"],
                                 [2, 2, 3, 3, 2])[0] if fault == "kill" else None
        fault_at = rng.randint(0, ops - 1)

        with self.lock:
            snapshot = set(acct.delivered)
        # Odd sessions go to the servers that serve in place.
        in_place = no % 2 == 1
        if in_place:
            server = self.tls_x if tls else self.plain_x
        else:
            server = self.tls if tls else self.plain
        self.fig.add("sessions")
        if tls:
            self.fig.add("sessions over TLS")
        if in_place:
            self.fig.add("sessions served in place (-X)")
        marked = set()
        pid = None
        outcome = "unknown"
        c = Pop3Client(server.port, tls=tls, timeout=args.io_timeout)
        try:
            c.greeting()
            if fault == "prelogin":
                self.kill_prelogin(rng, acct, no, c, server)
                return
            c.cmd("USER " + acct.name)
            reply = c.cmd("PASS " + PASSWORD)
            if not reply.startswith("+OK"):
                if "[IN-USE]" in reply:
                    self.fig.add("logins refused: maildrop in use")
                elif "failed to scan" in reply:
                    self.fig.add("logins refused: scan failed (spool full)")
                else:
                    self.anomaly("unexpected login reply", acct.name, no, reply)
                return
            self.fig.add("sessions logged in")
            pid = self.session_pid(acct)
            if pid is None:
                # A login that judged a lock stale moves the lock aside to
                # check it and puts back one that is not the file it judged:
                # for that moment the name is missing. Wait a little.
                deadline = time.monotonic() + 2
                while pid is None and time.monotonic() < deadline:
                    time.sleep(0.01)
                    pid = self.session_pid(acct)
                if pid is not None:
                    self.fig.add("dot-locks briefly missing after login")
            if pid is None:
                try:
                    with open(acct.path + ".lock", "rb") as f:
                        held = "a lock naming %r" % f.read(32)
                except OSError as e:
                    held = "no lock file (%s)" % e.strerror
                self.anomaly("no dot-lock while logged in", acct.name, no,
                             "after +OK to PASS: " + held)
                fault = None
            uidls = self.read_listing(c, "UIDL")
            sizes = self.read_listing(c, "LIST")
            ids = self.check_listing(acct, no, uidls, sizes, snapshot, pid)
            numbers = sorted(ids)

            def kill():
                os.kill(pid, signal.SIGKILL)
                self.fig.add("kills injected")
                self.fig.add("kills " + kill_point)
                with self.lock:
                    self.killed_pids.add(pid)
                c.close()
                self.note_dead(acct, pid)

            lost_lock = False
            for step in range(ops):
                if fault == "kill" and kill_point == "between" and step == fault_at:
                    kill()
                    return
                if fault == "vanish" and step == fault_at and not numbers:
                    fault = None  # nothing to read: an ordinary session
                if fault == "vanish" and step == fault_at:
                    n = max(numbers, key=lambda k: sizes[k])
                    c.send_line("RETR %d" % n)
                    c.read_line()
                    c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    c.close()
                    self.fig.add("clients vanished mid-RETR")
                    return
                if fault == "stall" and step == fault_at:
                    # Served in place, a session without its dot-lock has no
                    # copy to send a message from and must refuse instead.
                    lost_lock = self.stall(rng, acct, pid) and in_place
                if fault == "kill" and kill_point == "inflight" and step == fault_at:
                    c.send_line("RETR %d" % rng.choice(numbers) if numbers else "LIST")
                    kill()
                    return
                self.operation(c, rng, acct, no, pid, ids, sizes, marked, deleting, lost_lock)

            if kill_point == "rewrite" and not marked:
                # A rewrite to interrupt needs a deletion.
                live = [n for n in numbers if ids[n] not in marked]
                if live:
                    n = rng.choice(live)
                    if not c.cmd("DELE %d" % n).startswith("+OK"):
                        raise SessionFailure("DELE %d refused" % n)
                    marked.add(ids[n])
                    with self.lock:
                        acct.pending.setdefault(no, set()).add(ids[n])
            c.send_line("QUIT")
            if fault == "kill" and kill_point == "quit-sent":
                time.sleep(rng.uniform(0, 0.004))  # a random moment of the rewrite
                kill()
                return
            if fault == "kill" and kill_point == "rewrite":
                # Kill once a journal appears (bounded: the session may have
                # nothing to rewrite).
                names = (acct.path + ".tollmar-journal.tmp", acct.path + ".tollmar-journal")
                deadline = time.monotonic() + 0.5
                while not any(map(os.path.exists, names)) and time.monotonic() < deadline:
                    pass
                kill()
                return
            reply = c._text(c.read_line())
            if reply.startswith("+OK"):
                outcome = "ok"
            elif reply.startswith("-ERR"):
                outcome = "err"
                self.fig.add("QUITs answered -ERR")
            else:
                self.anomaly("no answer to QUIT", acct.name, no, repr(reply), pid)
            if fault == "kill" and kill_point == "quit-answered":
                kill()
                return
        except (OSError, EOFError, SessionFailure, ValueError, IndexError) as e:
            if fault in (None, "stall"):
                self.anomaly("broken session", acct.name, no, "%s: %s" % (type(e).__name__, e), pid)
        finally:
            c.close()
            with self.lock:
                acct.pending.pop(no, None)
                if outcome == "ok":
                    how = "session %s (pid %s, %s)" % (no, pid, {
                        "kill": "killed after the +OK to QUIT",
                        "stall": "stopped while its dot-lock expired"}.get(fault, "no fault"))
                    acct.final_deleted.update((mid, how) for mid in marked)
                    self.fig.add("messages deleted by QUIT +OK", len(marked))
                elif outcome == "unknown":
                    acct.maybe_deleted |= marked

    def operation(self, c, rng, acct, no, pid, ids, sizes, marked, deleting, lost_lock):
        numbers = sorted(ids)
        live = [n for n in numbers if ids[n] not in marked]
        what = rng.choices(["RETR", "TOP", "DELE", "RSET", "LIST", "UIDL", "STAT", "NOOP"],
                           [5, 2, 4 if deleting else 0, 1, 1, 1, 1, 1])[0]
        if what in ("RETR", "TOP", "DELE") and not live:
            what = "NOOP"
        if what == "RETR":
            n = rng.choice(live)
            status, body = c.multi("RETR %d" % n)
            if lost_lock and status == NOT_IN_MAILDROP:
                self.fig.add("RETRs and TOPs refused after the dot-lock was lost (-X)")
                return
            if not status.startswith("+OK"):
                raise SessionFailure("RETR %d answered %r" % (n, status))
            msg = acct.generated[ids[n]]
            if self.compare(acct, no, pid, "RETR", ids[n], unstuff(body), wire_lines(msg)):
                self.fig.add("messages retrieved")
                self.fig.add("bytes checked", len(msg))
        elif what == "TOP":
            n = rng.choice(live)
            k = rng.randint(0, 5)
            status, body = c.multi("TOP %d %d" % (n, k))
            if lost_lock and status == NOT_IN_MAILDROP:
                self.fig.add("RETRs and TOPs refused after the dot-lock was lost (-X)")
                return
            if not status.startswith("+OK"):
                raise SessionFailure("TOP answered %r" % status)
            if self.compare(acct, no, pid, "TOP", ids[n], unstuff(body),
                            top_lines(acct.generated[ids[n]], k)):
                self.fig.add("TOPs checked")
        elif what == "DELE":
            for n in rng.sample(live, rng.randint(1, min(3, len(live)))):
                reply = c.cmd("DELE %d" % n)
                if not reply.startswith("+OK"):
                    raise SessionFailure("DELE %d answered %r" % (n, reply))
                marked.add(ids[n])
                with self.lock:
                    acct.pending.setdefault(no, set()).add(ids[n])
        elif what == "RSET":
            if not c.cmd("RSET").startswith("+OK"):
                raise SessionFailure("RSET refused")
            marked.clear()
            with self.lock:
                acct.pending.pop(no, None)
        elif what == "LIST":
            now = self.read_listing(c, "LIST")
            expected = {n: sizes[n] for n in numbers if ids[n] not in marked}
            if {n: s for n, s in now.items() if n in ids} != expected:
                self.anomaly("LIST changed within a session", acct.name, no, "", pid)
        elif what == "UIDL":
            self.read_listing(c, "UIDL")
        elif what == "STAT":
            reply = c.cmd("STAT")
            expected = [n for n in sorted(sizes) if n not in ids or ids[n] not in marked]
            want = "+OK %d %d" % (len(expected), sum(sizes[n] for n in expected))
            if reply != want:
                self.anomaly("STAT disagrees with LIST", acct.name, no,
                             "%r, expected %r" % (reply, want), pid)
        else:
            if not c.cmd("NOOP").startswith("+OK"):
                raise SessionFailure("NOOP refused")

    def worker(self):
        while True:
            with self.lock:
                if (self.next_session >= self.args.sessions
                        or time.monotonic() - self.started > self.args.time_limit):
                    return
                no = self.next_session
                self.next_session += 1
            try:
                self.session(no)
            except Exception:
                self.anomaly("harness error", "-", no, traceback.format_exc())

    # -- the end ----------------------------------------------------------------

    def final_session(self, acct):
        """One clean-up session: completes what killed sessions left, checks the
        listing and every message's bytes, deletes nothing."""
        from pop3_client import Pop3Client
        from pop3_server import wait_until
        no = "final"
        deadline = time.monotonic() + 60
        while True:
            c = Pop3Client(self.plain.port, timeout=self.args.io_timeout)
            c.greeting()
            c.cmd("USER " + acct.name)
            reply = c.cmd("PASS " + PASSWORD)
            if reply.startswith("+OK"):
                break
            c.close()
            if time.monotonic() > deadline:
                self.anomaly("final login refused", acct.name, no, reply)
                return
            time.sleep(0.05)  # poll until the maildrop is free
        with c:
            pid = self.session_pid(acct)
            with self.lock:
                everything = set(acct.delivered)
            uidls = self.read_listing(c, "UIDL")
            sizes = self.read_listing(c, "LIST")
            ids = self.check_listing(acct, no, uidls, sizes, everything, pid)
            for n, mid in sorted(ids.items()):
                status, body = c.multi("RETR %d" % n)
                msg = acct.generated[mid]
                if status.startswith("+OK") and self.compare(
                        acct, no, pid, "RETR", mid, unstuff(body), wire_lines(msg)):
                    self.fig.add("messages retrieved")
                    self.fig.add("bytes checked", len(msg))
            if c.cmd("QUIT") != "+OK":
                self.anomaly("final QUIT refused", acct.name, no, "", pid)
        wait_until(lambda: not os.path.exists(acct.path + ".lock"),
                   "the final session of %s to end" % acct.name, timeout=30)

    def check_maildrop(self, acct):
        """Compares the maildrop file with the model, byte for byte."""
        with open(acct.path, "rb") as f:
            data = f.read()
        self.fig.add("bytes checked", len(data))
        found = collections.Counter()
        for m in split_mbox(data):
            owner = self.uidl_owner.get(unique_id_of(m))
            if owner is None or owner[0] is not acct:
                self.fig.add("unknown messages in the maildrops at the end")
                self.anomaly("unknown message (torn or forged)", acct.name, "end",
                             "%d bytes: %r" % (len(m), m[:120]), key=unique_id_of(m))
                continue
            mid = owner[1]
            if m != acct.generated[mid]:
                self.fig.add("torn messages in the maildrops at the end")
                self.anomaly("torn", acct.name, "end", "%s: %d bytes stored, %d delivered" % (
                    mid, len(m), len(acct.generated[mid])), key=mid)
            found[mid] += 1
        for mid, n in found.items():
            if n > 1:
                self.anomaly("duplicated", acct.name, "end", "%s stored %d times" % (mid, n),
                             key=mid)
            if mid in acct.final_deleted:
                self.anomaly("resurrected", acct.name, "end", "%s, deleted by %s" % (
                    mid, acct.final_deleted[mid]), key=mid)
        must = acct.delivered - set(acct.final_deleted) - acct.maybe_deleted
        for mid in sorted(must - set(found)):
            self.anomaly("lost", acct.name, "end", "%s delivered, never deleted" % mid, key=mid)
        self.fig.add("messages kept at the end", sum(found.values()))
        self.fig.add("maybe-deleted messages kept", len(acct.maybe_deleted & set(found)))
        self.fig.add("maybe-deleted messages gone",
                     len((acct.maybe_deleted - set(acct.final_deleted)) - set(found)))

    def check_leftovers(self):
        from pop3_server import children_of, wait_until
        wait_until(lambda: not any(children_of(p) for p in self.listeners),
                   "every connection process to end", timeout=60)
        names = {a.name for a in self.accounts}
        # The index an in-place session keeps beside a maildrop stays by design.
        indexes = {n + ".tollmar-index" for n in names}
        for name in sorted(os.listdir(self.sandbox.mail_dir)):
            if name not in names and name not in indexes:
                self.anomaly("left in the mail folder", name, "end", name)
        for name in sorted(os.listdir(self.sandbox.spool_tmp)):
            self.anomaly("left in the spool folder", name, "end", name)

    def server_log(self):
        """Counts of what the server logged at LOG_ERR and worse, digits masked."""
        from pop3_sandbox import LOG_ERR
        counts = collections.Counter()
        for line in self.sandbox.syslog.lines:
            if line.priority <= LOG_ERR:
                text = re.sub(r"\.tollmar_\w+", ".tollmar_*", line.message)
                counts[re.sub(r"\d+", "N", text)] += 1
        return counts

    def lines_of(self, pid):
        return [ln.message for ln in self.sandbox.syslog.lines if ln.pid == pid]

    # -- the run ----------------------------------------------------------------

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

    def report(self, elapsed):
        c = self.fig.c
        a = self.anomaly_counts
        self.say("")
        self.say("== soak figures (seed %d, %.0f s)" % (self.args.seed, elapsed))
        rows = [
            ("sessions", c["sessions"]),
            ("  logged in", c["sessions logged in"]),
            ("  over TLS", c["sessions over TLS"]),
            ("  refused: maildrop in use", c["logins refused: maildrop in use"]),
            ("  refused: scan failed (spool full)", c["logins refused: scan failed (spool full)"]),
            ("messages delivered", c["delivered"]),
            ("  by procmail", c["delivered by procmail"]),
            ("  by the lockf agent", c["delivered by lockf"]),
            ("  deliveries failed", c["deliveries failed (procmail)"] + c["deliveries failed (lockf)"]),
            ("messages retrieved", c["messages retrieved"]),
            ("TOPs checked", c["TOPs checked"]),
            ("messages deleted by QUIT +OK", c["messages deleted by QUIT +OK"]),
            ("QUITs answered -ERR", c["QUITs answered -ERR"]),
            ("sessions served in place (-X)", c["sessions served in place (-X)"]),
            ("  RETR/TOP refused, dot-lock lost",
             c["RETRs and TOPs refused after the dot-lock was lost (-X)"]),
            ("kills injected", c["kills injected"]),
            ("  between commands", c["kills between"]),
            ("  during a command", c["kills inflight"]),
            ("  right after QUIT was sent", c["kills quit-sent"]),
            ("  when a journal appeared after QUIT", c["kills rewrite"]),
            ("  right after QUIT was answered", c["kills quit-answered"]),
            ("clients vanished mid-RETR", c["clients vanished mid-RETR"]),
            ("sessions stopped", c["sessions stopped"]),
            ("  their dot-lock expired meanwhile", c["dot-locks expired under a stopped session"]),
            ("spool folder filled", c["spool folder filled"]),
            ("  that left a journal", c["kills that left a journal"]),
            ("  that left a temporary journal", c["kills that left a temporary journal"]),
            ("  that left a dot-lock", c["kills that left a dot-lock"]),
            ("spool files left by kills (server clears)", c["spool files left by kills"]),
            ("dot-locks briefly missing after login", c["dot-locks briefly missing after login"]),
            ("pre-login processes killed", c["pre-login processes killed"]),
            ("  logins done before the kill", c["  logins done before the pre-login kill"]),
            ("messages kept at the end", c["messages kept at the end"]),
            ("  torn ones among them", c["torn messages in the maildrops at the end"]),
            ("unknown messages at the end", c["unknown messages in the maildrops at the end"]),
            ("maybe-deleted kept / gone", "%d / %d" % (c["maybe-deleted messages kept"],
                                                       c["maybe-deleted messages gone"])),
            ("bytes checked", c["bytes checked"]),
            ("messages lost", a["lost"]),
            ("messages duplicated", a["duplicated"]),
            ("messages torn", a["torn"]),
            ("messages resurrected", a["resurrected"]),
            ("unknown (forged or torn) messages", a["unknown message (torn or forged)"]),
        ]
        for name, value in rows:
            self.say("%-38s %s" % (name, value))
        others = {k: v for k, v in a.items() if k not in (
            "lost", "duplicated", "torn", "resurrected", "unknown message (torn or forged)")}
        for k, v in sorted(others.items()):
            self.say("%-38s %s" % (k, v))
        log = self.server_log()
        if log:
            self.say("\n== server log lines at LOG_ERR or worse")
            for text, n in log.most_common(15):
                self.say("%6d  %s" % (n, text))
        if self.anomalies:
            self.say("\n== first anomalies of each kind (kind, account, session, detail, "
                     "server pid: its log)")
            for kind, account, session, detail, pid, ident in sorted(self.anomalies,
                                                                     key=lambda x: x[0]):
                seen = self.anomaly_seen[ident]
                self.say("- %s | %s | session %s | %s | pid %s%s" % (
                    kind, account, session, detail.strip(), pid,
                    " | seen %d times" % seen if seen > 1 else ""))
                if pid is not None:
                    for line in self.lines_of(pid)[-6:]:
                        self.say("      log: %s" % line)
        ok = not a
        self.say("\nsoak: %s (seed %d)" % ("PASS" if ok else "FAIL", self.args.seed))
        return 0 if ok else 1


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
