#!/usr/bin/env python3
"""Whole-server benchmarks of tollmar over loopback, with Dovecot as a peer.

Runs as root.  Like the end-to-end tests, the script re-executes itself
inside a private mount namespace (``unshare --mount --propagation private``)
and becomes a child subreaper, then builds a sandbox with the fixture modules
of tests/e2e (test copies of the account files, tmpfs for /home, /var/mail and
the spool folder).  Nothing outside the namespace is touched.

Measurements (every count and every wait is bounded):

1. RETR throughput: a maildrop holding one 20 MiB message, once with 80-byte
   lines and once with 1 MiB lines; after the login the time from sending
   "RETR 1" to reading the final ".\\r\\n" (median of 5, plain and TLS).
2. Session cost: connect, login, STAT, QUIT on a maildrop of 2,000 small
   messages; the time until the client has the QUIT reply and the end of the
   connection, and the time until the session process is gone and the
   dot-lock removed (median of 5).
3. Update cost: on a fresh maildrop of 2,000 messages, DELE every second
   message and QUIT; the time of the DELE round trips and the time from QUIT
   until the maildrop is rewritten (session process gone, dot-lock removed),
   median of 5.  The rewritten maildrop is checked for exactly the kept
   messages.
4. Connection rate: 200 sequential connections doing greeting + QUIT, plain
   and TLS.

Usage (as root):

    TOLLMAR_BIN=build-bench/tollmar python3 bench/pop3_bench.py [--no-dovecot] [--reps N]

Dovecot (package dovecot-pop3d) is run by hand with its own configuration in
a temporary folder: mbox maildrops in /var/mail, system accounts of the
sandbox (shadow passdb, passwd userdb), one listener for plain POP3 and one
for POP3 over TLS from the first byte, both on 127.0.0.1.  It is stopped by
the PID the script started.
"""

import argparse
import ctypes
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))

_NAMESPACE_MARK = "TOLLMAR_BENCH_NAMESPACE"
_PR_SET_CHILD_SUBREAPER = 36

USER = "bench"
PASSWORD = "bench-secret"
MIB = 1024 * 1024
BIG_BYTES = 20 * MIB
SMALL_COUNT = 2000
CONNECTIONS = 200
CLIENT_TIMEOUT = 60.0  # seconds a client read may wait; a limit, never a result
SESSION_END_LIMIT = 60.0  # seconds to wait for a session process to end
DOVECOT_START_LIMIT = 15.0


# -- namespace -----------------------------------------------------------------


def enter_private_namespace(script=__file__):
    """Re-runs script (this one by default) under unshare unless already inside; then
    becomes a subreaper."""
    if os.environ.get(_NAMESPACE_MARK) != str(os.getpid()):
        if os.geteuid() != 0:
            sys.exit("pop3_bench.py must run as root")
        sys.stdout.flush()
        sys.stderr.flush()
        env = dict(os.environ)
        env[_NAMESPACE_MARK] = str(os.getpid())  # unshare execs, so the pid stays
        argv = ["unshare", "--mount", "--propagation", "private",
                sys.executable, os.path.abspath(script), *sys.argv[1:]]
        os.execvpe("unshare", argv, env)
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(_PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        sys.exit("prctl(PR_SET_CHILD_SUBREAPER) failed")


# -- maildrops -------------------------------------------------------------------


def big_message(line_bytes):
    """One message of about BIG_BYTES bytes made of lines of line_bytes bytes (LF included)."""
    head = b"From sender@example.org Mon Jan  1 00:00:00 2024\nSubject: big\n\n"
    lines = BIG_BYTES // line_bytes
    parts = [head]
    for i in range(lines):
        fill = bytes([ord("a") + i % 26])
        parts.append(fill * (line_bytes - 1) + b"\n")
    parts.append(b"\n")
    return b"".join(parts)


def small_message(i):
    return (b"From sender@example.org Mon Jan  1 00:00:00 2024\n"
            b"From: sender@example.org\nTo: bench@localhost\n"
            b"Subject: m%d\nMessage-ID: <m%d@example.org>\n\n"
            b"Short body of message %d.\nSecond line.\n\n" % (i, i, i))


def small_maildrop():
    return b"".join(small_message(i) for i in range(1, SMALL_COUNT + 1))


# -- measuring helpers ---------------------------------------------------------------


def read_multiline_raw(client):
    """Reads the rest of a multi-line reply as fast as possible; returns the bytes received.

    The status line has been read already.  The reply is the last thing the
    server sends before the next command, so it ends exactly with the
    terminating CR LF "." CR LF (a body line "." is always stuffed).
    """
    data = client._buf
    client._buf = b""
    total = len(data)
    tail = data[-5:]
    while not tail.endswith(b"\r\n.\r\n"):
        chunk = client._recv()
        if not chunk:
            raise EOFError("connection closed inside a multi-line reply")
        total += len(chunk)
        tail = (tail + chunk[-5:])[-5:]
    return total


def collect_reparented(limit=10):
    """Collects whatever else was re-parented to us, for up to limit seconds
    (Dovecot's helpers end by themselves once their master is gone)."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            break
        if pid == 0:
            time.sleep(0.05)


def wait_for(predicate, what, limit=SESSION_END_LIMIT):
    deadline = time.monotonic() + limit
    while not predicate():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(0.0005)


def live_children(pid):
    """Live children of pid, from /proc/PID/task/PID/children (zombies left out)."""
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            kids = [int(x) for x in f.read().split()]
    except FileNotFoundError:
        return []
    live = []
    for kid in kids:
        try:
            with open("/proc/%d/stat" % kid) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except (FileNotFoundError, ProcessLookupError):
            continue
        if state != "Z":
            live.append(kid)
    return live


def median_ms(values):
    return statistics.median(values) * 1000.0


# -- targets -------------------------------------------------------------------------


class Target:
    """A server under test: how to connect and how to tell that a session has ended."""

    name = "?"

    def connect(self, tls):
        from pop3_client import Pop3Client
        return Pop3Client(self.tls_port if tls else self.plain_port, tls=tls,
                          timeout=CLIENT_TIMEOUT)

    def sessions_running(self):
        raise NotImplementedError

    def session_done(self, lock_path):
        return not os.path.exists(lock_path) and not self.sessions_running()

    def reset_maildrop_state(self):
        """Forgets what the server keeps about the maildrop besides the file itself."""


class TollmarTarget(Target):
    name = "tollmar"

    def __init__(self, control):
        self.plain = control.start()
        self.tls = control.start(tls=True)
        self.plain_port = self.plain.port
        self.tls_port = self.tls.port

    def sessions_running(self):
        return bool(live_children(self.plain.pid) or live_children(self.tls.pid))


# What both Dovecot set-ups share (this one and compare.py's): its own
# folders, POP3 only on 127.0.0.1, plaintext logins allowed, TLS, and the two
# listeners; the caller fills in the account databases and the services'
# extra lines.
DOVECOT_COMMON = """\
base_dir = {base}/run
state_dir = {base}/state
log_path = {base}/dovecot.log
protocols = pop3
listen = 127.0.0.1
disable_plaintext_auth = no
auth_mechanisms = plain
ssl = yes
ssl_cert = <{cert}
ssl_key = <{key}
mail_privileged_group = mail
first_valid_uid = 1000
default_login_user = dovenull
default_internal_user = dovecot
"""

DOVECOT_LISTENERS = """\
service pop3-login {{
  inet_listener pop3 {{
    address = 127.0.0.1
    port = {plain_port}
  }}
  inet_listener pop3s {{
    address = 127.0.0.1
    port = {tls_port}
    ssl = yes
  }}
{login_extra}}}
service pop3 {{
{pop3_extra}}}
"""

DOVECOT_CONFIG = DOVECOT_COMMON + """\
mail_location = mbox:~/mail:INBOX=/var/mail/%u
passdb {{
  driver = shadow
}}
userdb {{
  driver = passwd
}}
""" + DOVECOT_LISTENERS


class DovecotTarget(Target):
    name = "dovecot"

    def __init__(self, sandbox, cert, key):
        from pop3_server import free_port, listening_ports
        self.sandbox = sandbox
        self.base = tempfile.mkdtemp(prefix="tollmar-bench-dovecot-")
        os.chmod(self.base, 0o755)
        for sub in ("run", "state"):
            os.mkdir(os.path.join(self.base, sub), 0o755)
        self.plain_port = free_port()
        self.tls_port = free_port()
        self.config = os.path.join(self.base, "dovecot.conf")
        with open(self.config, "w") as f:
            f.write(DOVECOT_CONFIG.format(base=self.base, cert=cert, key=key,
                                          plain_port=self.plain_port, tls_port=self.tls_port,
                                          login_extra="", pop3_extra="  service_count = 1\n"))
        self.stderr_path = os.path.join(self.base, "stderr")
        with open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen(["dovecot", "-F", "-c", self.config],
                                         stdin=subprocess.DEVNULL, stdout=err, stderr=err)
        deadline = time.monotonic() + DOVECOT_START_LIMIT
        while not {self.plain_port, self.tls_port} <= listening_ports():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("dovecot did not start: " + self.log_text())
            time.sleep(0.02)

    def log_text(self):
        text = ""
        for path in (self.stderr_path, os.path.join(self.base, "dovecot.log")):
            try:
                with open(path, errors="replace") as f:
                    text += f.read()
            except FileNotFoundError:
                pass
        return text

    def sessions_running(self):
        # With service_count = 1 every pop3 process serves one session and ends.
        for kid in live_children(self.proc.pid):
            try:
                if os.readlink("/proc/%d/exe" % kid).endswith("/pop3"):
                    return True
            except OSError:
                continue
        return False

    def reset_maildrop_state(self):
        shutil.rmtree(os.path.join("/home", USER, "mail"), ignore_errors=True)

    def stop(self):
        from pop3_server import stop_process
        stop_process(self.proc, 15)
        shutil.rmtree(self.base, ignore_errors=True)


# -- the measurements ------------------------------------------------------------------


def login(client):
    greeting = client.greeting()
    user_reply, pass_reply = client.cmd("USER " + USER), client.cmd("PASS " + PASSWORD)
    if not (greeting.startswith("+OK") and user_reply.startswith("+OK")
            and pass_reply.startswith("+OK")):
        raise RuntimeError("login failed: %r %r %r" % (greeting, user_reply, pass_reply))


def quit_and_wait(target, client, lock_path):
    reply = client.cmd("QUIT")
    if not reply.startswith("+OK"):
        raise RuntimeError("QUIT answered %r" % reply)
    client.read_all()
    client.close()
    wait_for(lambda: target.session_done(lock_path), "the session to end")


def measure_retr(target, sandbox, data, tls, reps):
    """Median seconds of RETR 1 of the only message, and the bytes received."""
    sandbox.write_mbox(USER, data)
    target.reset_maildrop_state()
    lock_path = sandbox.mbox_path(USER) + ".lock"
    times, received = [], 0
    for rep in range(reps + 1):  # the first run only warms up
        client = target.connect(tls)
        login(client)
        start = time.perf_counter()
        client.send_line("RETR 1")
        status = client.read_line()
        if not status.startswith(b"+OK"):
            raise RuntimeError("RETR 1 answered %r" % status)
        received = read_multiline_raw(client)
        elapsed = time.perf_counter() - start
        quit_and_wait(target, client, lock_path)
        if rep:
            times.append(elapsed)
    # Every byte after the From_ line must arrive (plus CRs and dot-stuffing);
    # servers differ only in whether the final separating blank line is sent.
    body = len(data) - data.index(b"\n") - 2
    if received < body:
        raise RuntimeError("RETR delivered %d bytes for a %d-byte message" % (received, body))
    return statistics.median(times)


def measure_session(target, sandbox, reps):
    """(client-visible, until released) median seconds of login + STAT + QUIT."""
    sandbox.write_mbox(USER, small_maildrop())
    target.reset_maildrop_state()
    lock_path = sandbox.mbox_path(USER) + ".lock"
    visible, released = [], []
    for rep in range(reps + 1):
        start = time.perf_counter()
        client = target.connect(False)
        login(client)
        stat = client.cmd("STAT")
        if not stat.startswith("+OK %d " % SMALL_COUNT):
            raise RuntimeError("STAT answered %r" % stat)
        if not client.cmd("QUIT").startswith("+OK"):
            raise RuntimeError("QUIT refused")
        client.read_all()
        client.close()
        seen = time.perf_counter()
        wait_for(lambda: target.session_done(lock_path), "the session to end")
        done = time.perf_counter()
        if rep:
            visible.append(seen - start)
            released.append(done - start)
    return statistics.median(visible), statistics.median(released)


_SUBJECT = re.compile(rb"^Subject: m(\d+)$", re.M)


def check_kept(path):
    """Fails unless the maildrop holds exactly the odd-numbered small messages, in order."""
    with open(path, "rb") as f:
        data = f.read()
    kept = [int(n) for n in _SUBJECT.findall(data)]
    expected = list(range(1, SMALL_COUNT + 1, 2))
    if kept != expected:
        raise RuntimeError("the rewritten maildrop holds %d messages, %d expected"
                           % (len(kept), len(expected)))


def measure_update(target, sandbox, reps):
    """(DELE round trips, QUIT until rewritten) median seconds."""
    lock_path = sandbox.mbox_path(USER) + ".lock"
    dele_times, quit_times = [], []
    data = small_maildrop()
    for _ in range(reps):
        sandbox.write_mbox(USER, data)
        target.reset_maildrop_state()
        client = target.connect(False)
        login(client)
        start = time.perf_counter()
        for n in range(2, SMALL_COUNT + 1, 2):
            reply = client.cmd("DELE %d" % n)
            if not reply.startswith("+OK"):
                raise RuntimeError("DELE %d answered %r" % (n, reply))
        deleted = time.perf_counter()
        quit_and_wait(target, client, lock_path)
        done = time.perf_counter()
        check_kept(sandbox.mbox_path(USER))
        dele_times.append(deleted - start)
        quit_times.append(done - deleted)
    return statistics.median(dele_times), statistics.median(quit_times)


def measure_connections(target, tls):
    """(connections per second, median seconds per connection) for greeting + QUIT."""
    times = []
    start = time.perf_counter()
    for _ in range(CONNECTIONS):
        t0 = time.perf_counter()
        client = target.connect(tls)
        if not client.greeting().startswith("+OK"):
            raise RuntimeError("no greeting")
        if not client.cmd("QUIT").startswith("+OK"):
            raise RuntimeError("QUIT refused")
        client.read_all()
        client.close()
        times.append(time.perf_counter() - t0)
    total = time.perf_counter() - start
    return CONNECTIONS / total, statistics.median(times)


def run_all(target, sandbox, reps, results):
    """Runs every measurement against target; fills results[(row)][target.name]."""
    name = target.name

    def put(row, text):
        results.setdefault(row, {})[name] = text
        print("  %-8s %-44s %s" % (name, row, text), flush=True)

    for label, line_bytes in (("80-byte lines", 80), ("1 MiB lines", MIB)):
        data = big_message(line_bytes)
        for tls in (False, True):
            secs = measure_retr(target, sandbox, data, tls, reps)
            put("RETR 20 MiB, %s, %s" % (label, "TLS" if tls else "plain"),
                "%7.1f ms %7.1f MiB/s" % (secs * 1000, len(data) / MIB / secs))
    visible, released = measure_session(target, sandbox, reps)
    put("login+STAT+QUIT, 2000 msgs: reply", "%7.1f ms" % (visible * 1000))
    put("login+STAT+QUIT, 2000 msgs: released", "%7.1f ms" % (released * 1000))
    dele, quit = measure_update(target, sandbox, reps)
    put("DELE 1000 of 2000 (1000 round trips)", "%7.1f ms" % (dele * 1000))
    put("QUIT until maildrop rewritten", "%7.1f ms" % (quit * 1000))
    for tls in (False, True):
        rate, each = measure_connections(target, tls)
        put("%d x greeting+QUIT, %s" % (CONNECTIONS, "TLS" if tls else "plain"),
            "%7.0f conn/s (%.2f ms each)" % (rate, each * 1000))


def print_table(results, names):
    width = max(len(row) for row in results)
    cols = [max([len(n)] + [len(results[r].get(n, "-")) for r in results]) for n in names]
    print()
    print("%-*s  %s" % (width, "measurement", "  ".join(n.ljust(c) for n, c in zip(names, cols))))
    print("-" * (width + 2 + sum(cols) + 2 * (len(cols) - 1)))
    for row, values in results.items():
        print("%-*s  %s" % (width, row,
                            "  ".join(values.get(n, "-").ljust(c) for n, c in zip(names, cols))))


def make_certificate(folder):
    cert = os.path.join(folder, "cert.pem")
    key = os.path.join(folder, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=localhost"],
                   check=True, capture_output=True)
    return cert, key


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reps", type=int, default=5, help="timed runs per median (default 5)")
    parser.add_argument("--no-dovecot", action="store_true", help="measure tollmar only")
    parser.add_argument("--no-tollmar", action="store_true", help="measure Dovecot only")
    args = parser.parse_args()
    if not 1 <= args.reps <= 50:
        parser.error("--reps must be between 1 and 50")
    if not os.environ.get("TOLLMAR_BIN"):
        os.environ["TOLLMAR_BIN"] = os.path.join(REPO, "build-bench", "tollmar")
    enter_private_namespace()

    from pop3_sandbox import MAIL_GID, Sandbox
    from pop3_server import ServerControl, reap_orphans, server_binary

    binary = server_binary()
    sandbox = Sandbox()
    control = None
    dovecot = None
    results = {}
    names = []
    try:
        # Room for a 20 MiB maildrop, its spool copy and a rewrite.
        sandbox.tmpfs("/var/mail", 0o2775, size="256m", gid=MAIL_GID)
        sandbox.tmpfs(sandbox.spool_tmp, 0o1777, size="256m")
        sandbox.tmpfs("/home", 0o755, size="256m")
        sandbox.add_user(USER, PASSWORD)
        cert, key = make_certificate(sandbox.files_dir)

        if not args.no_tollmar:
            names.append("tollmar")
            print("tollmar: %s" % binary, flush=True)
            control = ServerControl(sandbox, lambda: (cert, key))
            run_all(TollmarTarget(control), sandbox, args.reps, results)
            control.close()
            control = None
        if not args.no_dovecot:
            if shutil.which("dovecot") is None:
                print("dovecot: not installed (apt-get install -y dovecot-pop3d); skipped")
            else:
                version = subprocess.run(["dovecot", "--version"], capture_output=True,
                                         text=True).stdout.strip()
                print("dovecot: %s" % version, flush=True)
                # Dovecot's own accounts, in the sandbox's account files.
                sandbox.add_user("dovecot", "", uid=901, make_home=False, hashed="!")
                sandbox.add_user("dovenull", "", uid=902, make_home=False, hashed="!")
                dovecot = DovecotTarget(sandbox, cert, key)
                names.append("dovecot")
                run_all(dovecot, sandbox, args.reps, results)
                dovecot.stop()
                dovecot = None
        print_table(results, names)
        print("\nmedians of %d timed runs after one warm-up (update cost: %d runs, no warm-up);"
              % (args.reps, args.reps))
        print("loopback only; %d CPU(s), load average %s"
              % (os.cpu_count(), " ".join("%.2f" % x for x in os.getloadavg())))
    finally:
        if dovecot is not None:
            dovecot.stop()
        if control is not None:
            control.close()
        reap_orphans(binary)
        collect_reparented()
        sandbox.close()


if __name__ == "__main__":
    main()
