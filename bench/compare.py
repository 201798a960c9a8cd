#!/usr/bin/env python3
"""tollmar side by side with Dovecot (stock and tuned), with the machine's limits.

Run as root from anywhere:

    python3 bench/compare.py --short      # about a minute, small sizes
    python3 bench/compare.py              # everything, 1 GiB and 10^6 messages

What it does, all in one run and on loopback only:

* installs what it needs from Debian packages (bench/setup.sh) and builds the
  one-file-per-message program (bench/tools/split_mbox.cpp) with g++;
* re-executes itself in a private mount namespace and builds the sandbox of
  the end-to-end tests (tests/e2e/pop3_sandbox.py): an account ``bench``
  in an /etc overlay, /var/mail and /home bound to folders on disk below
  build-compare/, a spool folder on disk and one on tmpfs;
* starts tollmar three times (plain with the spool folder on disk, TLS with
  -s, plain with the spool folder on tmpfs), all with -a and an auth file
  that maps one login per maildrop to the account;
* starts two private Dovecot instances with generated configurations (own
  base_dir, passwd-file users with the same mbox files as INBOX, ssl with a
  generated self-signed certificate, no system configuration): "stock"
  keeps Dovecot's process model, "tuned" has long-lived pre-started login
  and pop3 processes;
* measures every scenario with the servers interleaved (A/B/C, A/B/C, ...),
  each figure the median of --reps runs (at least 3), and the machine's
  limits in the same run: loopback TCP and TLS throughput in 64 KiB writes,
  cp + sync of the maildrop, and split_mbox on the same maildrops;
* prints a markdown table (scenario, tollmar, dovecot stock, dovecot tuned,
  ratio, target) and writes it to --out; with --figures it also draws it
  (bench/figures.py), and --redraw draws a stored table again without a run.

The ratio is always tollmar's speed relative to tuned Dovecot (or to the
limit named in the target): above 1 means tollmar is faster or smaller.

Every wait is bounded, only processes started here are signalled, and the
data below build-compare/ is removed at the end (--keep-data keeps the
generated maildrops for the next run).
"""

import argparse
import ctypes
import datetime
import os
import platform
import shutil
import signal
import socket
import ssl
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
WORK = os.path.join(REPO, "build-compare")
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))

import figures  # noqa: E402  (beside this file)

_NAMESPACE_MARK = "TOLLMAR_COMPARE_NAMESPACE"
_PR_SET_CHILD_SUBREAPER = 36

USER = "bench"
PASSWORD = "bench-secret"
KIB = 1024
MIB = 1024 * KIB
GIB = 1024 * MIB
CLIENT_TIMEOUT = 600.0  # seconds one client read may wait (a login on 10^6 messages): a limit, never a result
RELEASE_LIMIT = 600.0  # seconds to wait for a maildrop to be unlocked (10^6 spool files removed on a busy disk): a limit, never a result
START_LIMIT = 20.0

SERVERS = ("tollmar", "dovecot-stock", "dovecot-tuned")
COLUMNS = ("tollmar", "dovecot stock", "dovecot tuned")


# -- sizes -------------------------------------------------------------------------


def sizes(form):
    """The work of one run (form: short, medium, full): maildrops and loop counts."""
    if form == "short":
        return {
            "stat": [("1 MiB", 100, 10 * KIB)],
            "list": [("10^4", 10 ** 4)],
            "quit": ("10 MiB", 1024, 10 * KIB),
            "logins": 40,
            "login_limit": 8.0,
            "history": ("10^4", 10 ** 4),
            "throughput_bytes": 256 * MIB,
        }
    stat = [("1 MiB", 100, 10 * KIB), ("100 MiB", 10240, 10 * KIB)]
    lists = [("10^4", 10 ** 4), ("10^5", 10 ** 5)]
    if form == "medium":
        return {"stat": stat, "list": lists, "quit": ("100 MiB", 10240, 10 * KIB),
                "logins": 100, "login_limit": 15.0, "history": ("10^5", 10 ** 5),
                "throughput_bytes": 512 * MIB}
    return {
        "stat": stat + [("1 GiB", 104857, 10 * KIB)],
        "list": lists + [("10^6", 10 ** 6)],
        "quit": ("1 GiB", 104857, 10 * KIB),
        "logins": 200,
        "login_limit": 20.0,
        "history": ("10^5", 10 ** 5),
        "throughput_bytes": 1 * GIB,
    }


# -- maildrops -------------------------------------------------------------------------


def message(i, size):
    """Message i of about size bytes (From_ line included), 76-character body lines."""
    head = (b"From sender@example.org Mon Jan  1 00:00:00 2024\n"
            b"From: sender@example.org\nTo: bench@localhost\n"
            b"Subject: message %d\nMessage-ID: <m%d@example.org>\n\n" % (i, i))
    body_bytes = max(size - len(head) - 1, 20)
    line = (b"%d " % i + b"abcdefghijklmnopqrstuvwxyz" * 3)[:75] + b"\n"
    lines, rest = divmod(body_bytes, len(line))
    return head + line * lines + b"x" * max(rest - 1, 0) + b"\n\n"


def small_message(i):
    return (b"From sender@example.org Mon Jan  1 00:00:00 2024\n"
            b"From: sender@example.org\nTo: bench@localhost\n"
            b"Subject: m%d\nMessage-ID: <m%d@example.org>\n\n"
            b"Short body of message %d.\n\n" % (i, i, i))


def generate(path, count, size=None):
    """Writes a maildrop of count messages (small ones when size is None) unless present."""
    if os.path.exists(path):
        return
    tmp = path + ".part"
    with open(tmp, "wb") as f:
        batch = []
        for i in range(1, count + 1):
            batch.append(small_message(i) if size is None else message(i, size))
            if len(batch) >= 4096:
                f.write(b"".join(batch))
                batch = []
        f.write(b"".join(batch))
    os.rename(tmp, path)


# -- namespace and processes ------------------------------------------------------------


def enter_private_namespace():
    """Re-runs this script under unshare unless already inside; then becomes a subreaper."""
    if os.environ.get(_NAMESPACE_MARK) != str(os.getpid()):
        sys.stdout.flush()
        sys.stderr.flush()
        env = dict(os.environ)
        env[_NAMESPACE_MARK] = str(os.getpid())  # unshare execs, so the pid stays
        argv = ["unshare", "--mount", "--propagation", "private",
                sys.executable, os.path.abspath(__file__), *sys.argv[1:]]
        os.execvpe("unshare", argv, env)
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(_PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        sys.exit("prctl(PR_SET_CHILD_SUBREAPER) failed")


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


# -- a minimal POP3 client ----------------------------------------------------------------

_TLS = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
_TLS.check_hostname = False
_TLS.verify_mode = ssl.CERT_NONE


class Client:
    def __init__(self, port, tls, session=None):
        """session: a TLS session of an earlier connection to offer for resumption."""
        sock = socket.create_connection(("127.0.0.1", port), timeout=CLIENT_TIMEOUT)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock = _TLS.wrap_socket(sock, session=session) if tls else sock
        self.buf = bytearray()

    def _fill(self):
        chunk = self.sock.recv(256 * KIB)
        if not chunk:
            raise EOFError("connection closed by the server")
        self.buf += chunk

    def line(self):
        while True:
            end = self.buf.find(b"\r\n")
            if end >= 0:
                text = bytes(self.buf[:end])
                del self.buf[:end + 2]
                return text.decode("latin-1")
            self._fill()

    def cmd(self, text, expect="+OK"):
        self.sock.sendall(text.encode() + b"\r\n")
        reply = self.line()
        if expect and not reply.startswith(expect):
            raise RuntimeError("%s answered %r" % (text.split()[0], reply))
        return reply

    def multiline(self, text):
        """Sends a command with a multi-line reply; returns the reply's body size in bytes."""
        self.sock.sendall(text.encode() + b"\r\n")
        return self.body(text)

    def body(self, text):
        """Reads the multi-line reply to the command text; returns its body size in bytes."""
        reply = self.line()
        if not reply.startswith("+OK"):
            raise RuntimeError("%s answered %r" % (text.split()[0], reply))
        if self.buf.startswith(b".\r\n"):
            del self.buf[:3]
            return 0
        scanned = 0
        while True:
            end = self.buf.find(b"\r\n.\r\n", max(scanned - 4, 0))
            if end >= 0:
                del self.buf[:end + 5]
                return end + 2
            scanned = len(self.buf)
            self._fill()

    def login(self, name):
        greeting = self.line()
        if not greeting.startswith("+OK"):
            raise RuntimeError("greeting %r" % greeting)
        self.cmd("USER " + name)
        self.cmd("PASS " + PASSWORD)

    def quit(self):
        """QUIT, then reads until the server closes the connection."""
        self.cmd("QUIT")
        try:
            while self.sock.recv(4096):
                pass
        except (ssl.SSLError, OSError):
            pass
        self.close()

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


# -- the servers -------------------------------------------------------------------------


class Tollmar:
    def __init__(self, name, control, auth, spool, tls_files, extra=()):
        from pop3_server import free_port
        self.name = name
        self.in_place = "-X" in extra
        cert, key = tls_files
        common = ("-l", "127.0.0.1", "-x", spool, "-a", auth, *extra)
        port = free_port()
        self.plain = control.start("-p", port, *common, defaults=False, port=port)
        port = free_port()
        self.tls = control.start("-p", port, *common, "-s", "-c", cert, "-k", key,
                                 defaults=False, port=port)
        self.spool = spool

    def port(self, tls):
        return self.tls.port if tls else self.plain.port

    def session_pids(self):
        return children(self.plain.pid) + children(self.tls.pid)

    def forget_index(self, box):
        """Only serving in place (-X) keeps something between sessions: the index."""
        if self.in_place and os.path.exists(box.path + ".tollmar-index"):
            os.unlink(box.path + ".tollmar-index")

    def released(self, box):
        """True when no session runs and the dot-lock of box is gone."""
        return not os.path.exists(box.path + ".lock") and not [
            p for p in self.session_pids() if not proc_status(p).get("State", "Z").startswith(
                ("Z", "X"))]


DOVECOT_CONFIG = """\
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
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {users}
}}
userdb {{
  driver = passwd-file
  args = username_format=%u {users}
}}
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

# Long-lived login processes that serve many connections, and processes
# started ahead of the connections that need them.
TUNED_LOGIN = "  service_count = 0\n  process_min_avail = 2\n"
TUNED_POP3 = "  process_min_avail = 2\n"


class Dovecot:
    def __init__(self, name, tuned, boxes, uid, tls_files):
        from pop3_server import free_port, listening_ports
        self.name = name
        self.base = os.path.join(WORK, name)
        shutil.rmtree(self.base, ignore_errors=True)
        for sub in ("", "run", "state"):
            os.makedirs(os.path.join(self.base, sub), 0o755, exist_ok=True)
        self.home = os.path.join("/home", USER, name)
        os.makedirs(self.home, exist_ok=True)
        os.chown(self.home, uid, uid)
        users = os.path.join(self.base, "users")
        with open(users, "w") as f:
            for box in boxes:
                f.write("%s:{PLAIN}%s:%d:%d::%s::userdb_mail=mbox:~/mail:INBOX=%s\n"
                        % (box.login, PASSWORD, uid, uid, self.home, box.path))
        os.chmod(users, 0o644)
        self.plain_port, self.tls_port = free_port(), free_port()
        config = os.path.join(self.base, "dovecot.conf")
        cert, key = tls_files
        with open(config, "w") as f:
            f.write(DOVECOT_CONFIG.format(
                base=self.base, cert=cert, key=key, users=users, plain_port=self.plain_port,
                tls_port=self.tls_port, login_extra=TUNED_LOGIN if tuned else "",
                pop3_extra=TUNED_POP3 if tuned else ""))
        self.err = os.path.join(self.base, "stderr")
        with open(self.err, "wb") as err:
            self.proc = subprocess.Popen(["dovecot", "-F", "-c", config],
                                         stdin=subprocess.DEVNULL, stdout=err, stderr=err)
        deadline = time.monotonic() + START_LIMIT
        while not {self.plain_port, self.tls_port} <= listening_ports():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("%s did not start: %s" % (name, self.log()))
            time.sleep(0.02)
        if tuned:
            # The pre-started processes are part of the tuning: wait for them.
            wait_for(lambda: len(self.pop3_pids()) >= 2, name + " pop3 processes", START_LIMIT,
                     0.02)

    def log(self):
        text = ""
        for path in (self.err, os.path.join(self.base, "dovecot.log")):
            try:
                with open(path, errors="replace") as f:
                    text += f.read()[-2000:]
            except FileNotFoundError:
                pass
        return text

    def port(self, tls):
        return self.tls_port if tls else self.plain_port

    def pop3_pids(self):
        out = []
        for pid in descendants(self.proc.pid):
            try:
                if os.readlink("/proc/%d/exe" % pid).endswith("/pop3"):
                    out.append(pid)
            except OSError:
                continue
        return out

    def session_pids(self):
        """pop3 processes serving a user (idle pre-started ones still run as root)."""
        return [p for p in self.pop3_pids()
                if proc_status(p).get("Uid", "0").split()[0] != "0"]

    def forget_index(self, box):
        shutil.rmtree(os.path.join(self.home, "mail"), ignore_errors=True)

    def released(self, box):
        return not os.path.exists(box.path + ".lock") and not self.session_pids()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Box:
    """A maildrop: a master copy under build-compare/data and the live file in /var/mail."""

    def __init__(self, login, count, size, uid):
        self.login, self.count, self.size, self.uid = login, count, size, uid
        # The shape is in the name: a kept master of another form (the quit
        # maildrop is 10 MiB, 100 MiB or 1 GiB) must not be taken for this one.
        self.master = os.path.join(WORK, "data", "%s-%d-%s.mbox" % (login, count, size or "small"))
        self.path = os.path.join("/var/mail", login)

    def bytes(self):
        return os.path.getsize(self.master)

    def install(self):
        """A fresh copy of the master in /var/mail (owner bench, group mail, 0600)."""
        generate(self.master, self.count, self.size)
        for stale in (self.path + ".lock",):
            if os.path.exists(stale):
                raise RuntimeError("stale lock " + stale)
        subprocess.run(["cp", self.master, self.path + ".new"], check=True)
        os.chown(self.path + ".new", self.uid, 8)
        os.chmod(self.path + ".new", 0o600)
        os.rename(self.path + ".new", self.path)


# -- measuring ---------------------------------------------------------------------------


def vm_hwm_kib(pid):
    text = proc_status(pid).get("VmHWM", "0 kB")
    return int(text.split()[0])


def session_pid(server, before):
    """The session process of the one connection just logged in."""
    pids = wait_for(lambda: [p for p in server.session_pids() if p not in before],
                    server.name + " session process", 10)
    return pids[0]


def finish(server, box, client):
    client.quit()
    wait_for(lambda: server.released(box), server.name + " to release " + box.login)


def dirty_kib():
    """Page-cache data not yet on the disk: Dirty plus Writeback, in KiB."""
    total = 0
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith(("Dirty:", "Writeback:")):
                total += int(line.split()[1])
    return total


def settle(limit=60):
    """Lets the disk catch up with earlier groups before the next one is timed.

    A group that copies hundreds of MiB leaves writeback (and, on a filesystem
    mounted with discard, trims) running for seconds; whatever is timed next
    on the same disk would pay for it.
    """
    subprocess.run(["sync"], check=True)
    deadline = time.monotonic() + limit
    while dirty_kib() > 4096 and time.monotonic() < deadline:
        time.sleep(0.1)


def interleaved(servers, reps, fn):
    """Runs fn(server) for every server, reps rounds; returns {server: [values...]}."""
    out = {s.name: [] for s in servers}
    for _ in range(reps):
        for server in servers:
            out[server.name].append(fn(server))
    return out


def median_of(values, key=None):
    return statistics.median([v[key] for v in values] if key is not None else values)


class Table:
    def __init__(self):
        self.rows = []

    def limit(self, scenario, value, unit):
        """A figure of the machine itself: shown once, in the first column."""
        self.rows.append([scenario, unit(value), "", "", "", "machine limit"])
        print("| " + " | ".join(self.rows[-1]) + " |", flush=True)

    def add(self, scenario, values, unit, target="", better="lower", check=None):
        """values: {column: number}; the ratio is tollmar's speed against tuned Dovecot."""
        ref = values.get("dovecot tuned")
        mine = values.get("tollmar")
        ratio = ""
        if ref and mine:
            r = ref / mine if better == "lower" else mine / ref
            ratio = "%.2f×" % r
        verdict = ""
        if check is not None and mine is not None:
            verdict = " — **met**" if check(mine) else " — **not met**"
        cells = [unit(values[c]) if c in values else "–" for c in COLUMNS]
        self.rows.append([scenario] + cells + [ratio, target + verdict])
        print("| " + " | ".join(self.rows[-1]) + " |", flush=True)

    def markdown(self):
        head = ["scenario"] + list(COLUMNS) + ["ratio", "target"]
        lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        lines += ["| " + " | ".join(r) + " |" for r in self.rows]
        return "\n".join(lines)


def ms(v):
    return "%.1f ms" % (v * 1000) if v < 10 else "%.2f s" % v


def mib_s(v):
    return "%.0f MiB/s" % v


def per_s(v):
    return "%.0f /s" % v


def percent(v):
    return "%.0f %%" % (v * 100)


def mib(v):
    return "%.1f MiB" % (v / 1024)


# -- limits ------------------------------------------------------------------------------


def loopback_listener():
    """A listening socket on a free loopback port, and the port."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    return listener, listener.getsockname()[1]


def fork_peer(what, body):
    """Runs body() in a forked child that ends with it; returns the child's pid."""
    pid = os.fork()
    if pid == 0:
        try:
            body()
        except BaseException as e:
            print("%s: %r" % (what, e), file=sys.stderr, flush=True)
            os._exit(1)
        finally:
            os._exit(0)
    return pid


def stream_rate(total, tls_files=None):
    """MiB/s from a forked sender over loopback in 64 KiB writes (TLS when tls_files)."""
    listener, port = loopback_listener()
    def send():
        sock = socket.create_connection(("127.0.0.1", port))
        if tls_files:
            sock = _TLS.wrap_socket(sock)
        block = b"x" * (64 * KIB)
        for _ in range(total // len(block)):
            sock.sendall(block)
        # Closing with unread bytes (TLS session tickets) would reset the
        # connection and drop what the receiver has not read yet.
        socket.socket.shutdown(sock, socket.SHUT_WR)
        while socket.socket.recv(sock, 64 * KIB):
            pass
        sock.close()

    pid = fork_peer("loopback sender", send)
    conn, _ = listener.accept()
    listener.close()
    conn.settimeout(CLIENT_TIMEOUT)
    if tls_files:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(*tls_files)
        conn = ctx.wrap_socket(conn, server_side=True)
    buf = bytearray(256 * KIB)
    got = 0
    start = time.perf_counter()
    while got < total:
        n = conn.recv_into(buf)
        if n == 0:
            break
        got += n
    elapsed = time.perf_counter() - start
    conn.close()
    os.waitpid(pid, 0)
    if got < total:
        raise RuntimeError("loopback stream ended after %d of %d bytes" % (got, total))
    return total / MIB / elapsed


def round_trip_rate(count, size):
    """MiB/s of count request/reply round trips with size-byte replies over loopback.

    A forked responder answers each request line at once with a reply made
    beforehand, in one write; the client is the one the servers get. No
    server can do one RETR per round trip faster than this on the machine.
    """
    listener, port = loopback_listener()
    reply = b"+OK\r\n" + (b"x" * 76 + b"\r\n") * (size // 78) + b".\r\n"
    def respond():
        listener.settimeout(CLIENT_TIMEOUT)
        conn, _ = listener.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        pending = b""
        while True:
            chunk = conn.recv(4096)
            if not chunk:
                break
            pending += chunk
            while b"\r\n" in pending:
                _, pending = pending.split(b"\r\n", 1)
                conn.sendall(reply)
        conn.close()

    pid = fork_peer("round-trip responder", respond)
    listener.close()
    c = Client(port, False)
    start = time.perf_counter()
    got = 0
    for n in range(1, count + 1):
        got += c.multiline("RETR %d" % n)
    elapsed = time.perf_counter() - start
    c.close()
    os.waitpid(pid, 0)
    return got / MIB / elapsed


def cp_sync(box):
    """(cp, sync) seconds for a copy of box's maildrop into a folder on the same disk."""
    dest = os.path.join(WORK, "cp-copy")
    subprocess.run(["sync"], check=True)
    start = time.perf_counter()
    subprocess.run(["cp", box.master, dest], check=True)
    copied = time.perf_counter()
    subprocess.run(["sync"], check=True)
    done = time.perf_counter()
    os.unlink(dest)
    subprocess.run(["sync"], check=True)
    return copied - start, done - copied


def split_time(program, box, folder):
    """Seconds for split_mbox to write every message of box into its own file in folder."""
    target = os.path.join(folder, "split")
    shutil.rmtree(target, ignore_errors=True)
    os.mkdir(target)
    start = time.perf_counter()
    out = subprocess.run([program, box.path, target], check=True, capture_output=True)
    elapsed = time.perf_counter() - start
    if int(out.stdout) != box.count:
        raise RuntimeError("split_mbox wrote %s files for %d messages" % (out.stdout, box.count))
    shutil.rmtree(target)
    return elapsed


# -- scenarios ---------------------------------------------------------------------------


def login_run(server, boxes, tls, count, limit, resume=False):
    """Sequential sessions in len(boxes) workers; returns logins per second, the p99 in
    seconds and the share of TLS logins that resumed. With resume, each worker offers
    the session of its previous login (after a first login, untimed, that gets one)."""
    latencies = [[] for _ in boxes]
    resumed = [0 for _ in boxes]
    errors = []
    deadline = time.monotonic() + limit

    def worker(i, box):
        try:
            session = None
            if resume:
                c = Client(server.port(tls), tls)
                c.login(box.login)  # the ticket comes with the greeting
                session = c.sock.session
                c.quit()
            for _ in range(count):
                if time.monotonic() > deadline:
                    return
                t0 = time.perf_counter()
                c = Client(server.port(tls), tls, session)
                c.login(box.login)
                c.cmd("STAT")
                if resume:
                    resumed[i] += c.sock.session_reused
                    session = c.sock.session
                c.quit()
                latencies[i].append(time.perf_counter() - t0)
        except Exception as e:  # reported after the join
            errors.append("%s: %s" % (server.name, e))

    threads = [threading.Thread(target=worker, args=(i, b)) for i, b in enumerate(boxes)]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join(limit + CLIENT_TIMEOUT)
    elapsed = time.perf_counter() - start
    for box in boxes:
        wait_for(lambda: server.released(box), "sessions to end")
    everything = sorted(x for per in latencies for x in per)
    if errors or not everything:
        raise RuntimeError("; ".join(errors) or "no login completed")
    p99 = everything[min(len(everything) - 1, int(len(everything) * 0.99))]
    return {"rate": len(everything) / elapsed, "p99": p99,
            "resumed": sum(resumed) / len(everything)}


def retr_run(server, box, tls):
    """Seconds to RETR every message of box after the login, one round trip each."""
    c = Client(server.port(tls), tls)
    c.login(box.login)
    start = time.perf_counter()
    for n in range(1, box.count + 1):
        if c.multiline("RETR %d" % n) < box.size // 2:
            raise RuntimeError("short RETR reply")
    elapsed = time.perf_counter() - start
    finish(server, box, c)
    return elapsed


# RETRs a pipelining client keeps in flight (PIPELINING, RFC 2449).
PIPELINE_WINDOW = 64


def retr_pipelined_run(server, box, tls):
    """Seconds to RETR every message of box after the login, PIPELINE_WINDOW
    commands ahead of the replies read."""
    c = Client(server.port(tls), tls)
    c.login(box.login)
    start = time.perf_counter()
    sent = 0
    for n in range(1, box.count + 1):
        ahead = b"".join(b"RETR %d\r\n" % k
                         for k in range(sent + 1, min(box.count, n + PIPELINE_WINDOW - 1) + 1))
        if ahead:
            c.sock.sendall(ahead)
            sent = min(box.count, n + PIPELINE_WINDOW - 1)
        if c.body("RETR %d" % n) < box.size // 2:
            raise RuntimeError("short RETR reply")
    elapsed = time.perf_counter() - start
    finish(server, box, c)
    return elapsed


def stat_run(server, box, first):
    """(connect-to-STAT seconds, peak KiB of the session process)."""
    if first:
        server.forget_index(box)
    before = set(server.session_pids())
    start = time.perf_counter()
    c = Client(server.port(False), False)
    c.login(box.login)
    reply = c.cmd("STAT")
    elapsed = time.perf_counter() - start
    if not reply.startswith("+OK %d " % box.count):
        raise RuntimeError("STAT answered %r" % reply)
    peak = vm_hwm_kib(session_pid(server, before))
    finish(server, box, c)
    return {"stat": elapsed, "peak": peak}


def list_run(server, box):
    """connect-to-STAT, LIST and UIDL seconds and the session's peak KiB."""
    # A session with spool copies in between gave the maildrop a new change
    # time; served in place, the run is of the login after a session of its own.
    if getattr(server, "in_place", False):
        warm([server], box)
    before = set(server.session_pids())
    start = time.perf_counter()
    c = Client(server.port(False), False)
    c.login(box.login)
    c.cmd("STAT")
    logged_in = time.perf_counter()
    c.multiline("LIST")
    listed = time.perf_counter()
    c.multiline("UIDL")
    done = time.perf_counter()
    peak = vm_hwm_kib(session_pid(server, before))
    finish(server, box, c)
    return {"login": logged_in - start, "list": listed - logged_in, "uidl": done - listed,
            "peak": peak}


def count_messages(path):
    """From_ lines in an mbox (a cheap check that needs no second session)."""
    out = subprocess.run(["grep", "-c", "^From ", path], capture_output=True, text=True)
    return int(out.stdout or 0)


def quit_run(server, box, which):
    """Seconds from QUIT (after DELE of message `which`) until the maildrop is unlocked.

    Unlocked: the client has the reply and the end of the connection, and the
    dot-lock is gone, so that a new session gets in at once. The maildrop is
    then checked to hold one message less.
    """
    box.install()
    server.forget_index(box)
    c = Client(server.port(False), False)
    c.login(box.login)
    c.cmd("STAT")
    c.cmd("DELE %d" % which)
    start = time.perf_counter()
    c.quit()
    wait_for(lambda: not os.path.exists(box.path + ".lock"), "the dot-lock to go")
    elapsed = time.perf_counter() - start
    wait_for(lambda: server.released(box), server.name + " to release " + box.login)
    kept = count_messages(box.path)
    if kept != box.count - 1:
        raise RuntimeError("%s: after DELE + QUIT the maildrop holds %d messages, %d expected"
                           % (server.name, kept, box.count - 1))
    return elapsed


def history_run(control, auth, tls_files, big, label, small, size, reps, table):
    """Logins/s with a spool folder on disk that one session of `big` has just
    used, against another instance with a fresh folder on the same disk."""
    for box in (big, small):
        box.install()  # --only may have left them out
    instances = {}
    for name in ("fresh", "used"):
        folder = os.path.join(WORK, "spool-" + name)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        os.chmod(folder, 0o1777)
        instances[name] = Tollmar("tollmar-" + name, control, auth, folder, tls_files)
    used = instances["used"]
    c = Client(used.port(False), False)
    c.login(big.login)
    c.cmd("STAT")
    finish(used, big, c)
    runs = interleaved([used, instances["fresh"]], reps, lambda s: login_run(
        s, [small], False, size["logins"], size["login_limit"]))
    fresh = median_of(runs["tollmar-fresh"], "rate")
    table.add("logins/s, plain, 1 worker, spool on disk, fresh folder", {"tollmar": fresh}, per_s)
    table.add("logins/s, plain, 1 worker, spool on disk, right after a session of %s messages"
              % label, {"tollmar": median_of(runs["tollmar-used"], "rate")}, per_s,
              "within 10 %% of a fresh folder (%s)" % per_s(fresh), "higher",
              check=lambda v: v >= 0.9 * fresh)
    for server in instances.values():
        server.plain.stop()
        server.tls.stop()


def warm(servers, box):
    """One untimed session per Dovecot: its index, built once as in real use."""
    for server in servers:
        if isinstance(server, Tollmar) and not server.in_place:
            continue  # with spool copies it keeps nothing between sessions
        c = Client(server.port(False), False)
        c.login(box.login)
        c.cmd("STAT")
        finish(server, box, c)


def run(args, program):
    from pop3_sandbox import MAIL_GID, Sandbox
    from pop3_server import ServerControl, reap_orphans, server_binary

    size = sizes(args.form)
    reps = args.reps
    binary = server_binary()
    sandbox = Sandbox()
    control = None
    dovecots = []
    table = Table()
    notes = []
    try:
        for sub in ("mail", "home", "spool-disk", "data"):
            os.makedirs(os.path.join(WORK, sub), exist_ok=True)
        os.chmod(os.path.join(WORK, "mail"), 0o2775)
        os.chown(os.path.join(WORK, "mail"), 0, MAIL_GID)
        os.chmod(os.path.join(WORK, "spool-disk"), 0o1777)
        sandbox._mount(os.path.join(WORK, "mail"), "/var/mail", "--bind")
        sandbox._mount(os.path.join(WORK, "home"), "/home", "--bind")
        spool_tmpfs = sandbox.tmpfs(sandbox._dir("spool-big"), 0o1777, size="3g")
        spool_disk = os.path.join(WORK, "spool-disk")
        acct = sandbox.add_user(USER, PASSWORD)
        sandbox.add_user("dovecot", "", uid=901, make_home=False, hashed="!")
        sandbox.add_user("dovenull", "", uid=902, make_home=False, hashed="!")
        uid = acct.uid

        boxes = {}

        groups = {}  # login -> the scenario group its maildrop serves

        def box(login, count, msg_size, group):
            boxes[login] = Box(login, count, msg_size, uid)
            groups[login] = group
            return boxes[login]

        login_boxes = [box("login1", 10, 2 * KIB, "logins"), box("login2", 10, 2 * KIB, "logins")]
        retr_boxes = [(box("r10k", 1000, 10 * KIB, "retr"), "1000 × 10 KiB"),
                      (box("r50k", 100, 50 * KIB, "retr"), "100 × 50 KiB"),
                      (box("r10m", 1, 10 * MIB, "retr"), "one 10 MiB")]
        stat_boxes = [(box("s" + label.replace(" ", "").lower(), n, s, "stat"), label)
                      for label, n, s in size["stat"]]
        list_boxes = [(box("l" + label.replace("^", ""), n, None, "list"), label)
                      for label, n in size["list"]]
        qlabel, qn, qs = size["quit"]
        quit_box = box("quit", qn, qs, "quit")
        hlabel, hn = size["history"]
        history_box = box("h" + hlabel.replace("^", ""), hn, None, "history")
        print("generating maildrops ...", flush=True)
        for login, b in boxes.items():
            # Only what the chosen groups use: the largest maildrops take
            # minutes to generate.
            if args.only is None or groups[login] in args.only:
                b.install()

        auth = os.path.join(sandbox.files_dir, "auth")
        with open(auth, "w") as f:
            for b in boxes.values():
                f.write("%s:%s:%s:%s\n" % (b.login, PASSWORD, USER, b.path))
        os.chmod(auth, 0o644)
        cert, key = os.path.join(sandbox.files_dir, "cert.pem"), os.path.join(
            sandbox.files_dir, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        key, "-out", cert, "-days", "2", "-subj", "/CN=localhost"],
                       check=True, capture_output=True)

        control = ServerControl(sandbox, lambda: (cert, key))
        tollmar = Tollmar("tollmar", control, auth, spool_disk, (cert, key))
        tollmar_tmpfs = Tollmar("tollmar-tmpfs", control, auth, spool_tmpfs, (cert, key))
        tollmar_x = Tollmar("tollmar-X", control, auth, spool_disk, (cert, key), ("-X",))
        for name, tuned in (("dovecot-stock", False), ("dovecot-tuned", True)):
            dovecots.append(Dovecot(name, tuned, list(boxes.values()), uid, (cert, key)))
        servers = [tollmar] + dovecots
        column = {"tollmar": "tollmar", "dovecot-stock": "dovecot stock",
                  "dovecot-tuned": "dovecot tuned"}
        version = subprocess.run(["dovecot", "--version"], capture_output=True,
                                 text=True).stdout.strip()
        print("tollmar %s, Dovecot %s; %d runs each, interleaved\n" % (binary, version, reps),
              flush=True)

        def cols(per_server, key=None, fold=median_of):
            return {column[name]: fold(values, key) for name, values in per_server.items()}

        began = time.monotonic()

        def in_budget(what):
            if args.budget is not None and time.monotonic() - began > args.budget:
                notes.append("skipped %s: the time budget of %d s was used up" % (
                    what, args.budget))
                return False
            return True

        def want(group):
            return (args.only is None or group in args.only) and in_budget(group)

        # -- limits
        limits = {}
        if want("limits") or want("retr") or want("quit") or want("stat"):
            tcp = [stream_rate(size["throughput_bytes"]) for _ in range(reps)]
            tls = [stream_rate(size["throughput_bytes"] // 4, (cert, key)) for _ in range(reps)]
            limits["tcp"], limits["tls"] = statistics.median(tcp), statistics.median(tls)
            table.limit("limit: loopback TCP, 64 KiB writes", limits["tcp"], mib_s)
            table.limit("limit: loopback TLS, 64 KiB writes", limits["tls"], mib_s)
            limits["rtt"] = statistics.median([round_trip_rate(1000, 10 * KIB)
                                               for _ in range(reps)])
            table.limit("limit: 1000 round trips with 10 KiB replies made beforehand",
                        limits["rtt"], mib_s)
            # The QUIT group's maildrop, which --only may have left ungenerated.
            generate(quit_box.master, quit_box.count, quit_box.size)
            cps = [cp_sync(quit_box) for _ in range(reps)]
            limits["cp"] = statistics.median([a + b for a, b in cps])
            limits["sync"] = statistics.median([b for _, b in cps])
            table.limit("limit: cp + sync of the %s maildrop" % qlabel, limits["cp"], ms)

        # -- QUIT after DELE
        if want("quit"):
            settle()
            for which, label, target_text, bound in (
                    (1, "DELE 1", "≤ 2× cp + sync (%s)" % ms(limits["cp"]), 2 * limits["cp"]),
                    (quit_box.count, "DELE of the last message",
                     "≤ 0.1 s + sync (%s)" % ms(0.1 + limits["sync"]), 0.1 + limits["sync"])):
                runs = interleaved(servers, reps, lambda s: quit_run(s, quit_box, which))
                table.add("QUIT after %s, %s: until unlocked" % (label, qlabel),
                          cols(runs), ms, target_text,
                          check=lambda v, b=bound: v <= b)

        # -- logins per second, tollmar with its spool folder on disk and on tmpfs
        if want("logins"):
            settle()
            both = servers + [tollmar_tmpfs, tollmar_x]
            for mode in ("plain", "TLS", "TLS resumed"):
                tls, resume = mode != "plain", mode == "TLS resumed"
                for workers in (1, 2):
                    for s in servers + [tollmar_x]:
                        warm([s], login_boxes[0])
                    runs = interleaved(both, reps, lambda s: login_run(
                        s, login_boxes[:workers], tls, size["logins"], size["login_limit"],
                        resume))
                    tmpfs_runs = runs.pop("tollmar-tmpfs")
                    x_runs = runs.pop("tollmar-X")
                    label = "logins/s, %s, %d worker%s" % (mode, workers,
                                                           "s" if workers > 1 else "")
                    if resume:
                        # A session a server did not resume cost a full handshake.
                        table.add("TLS logins resumed, %d worker%s" % (
                            workers, "s" if workers > 1 else ""), dict(
                            cols(runs, "resumed"), tollmar=median_of(tmpfs_runs, "resumed")),
                            percent, better="higher")
                    for where, per in (
                            ("spool on disk", cols(runs, "rate")),
                            ("spool on tmpfs", dict(cols(runs, "rate"),
                                                    tollmar=median_of(tmpfs_runs, "rate")))):
                        # The targets of 2 workers: a fork per login against
                        # long-lived processes must still win clearly.
                        factor = {"plain": 1.5, "TLS": 1.2, "TLS resumed": 2.0}[mode] \
                            if workers == 2 else 1.0
                        table.add("%s, %s" % (label, where), per, per_s,
                                  "≥ %g× tuned Dovecot" % factor if factor != 1
                                  else "≥ tuned Dovecot",
                                  "higher",
                                  check=lambda v, r=per, f=factor: v >= f * r["dovecot tuned"])
                    on_tmpfs = median_of(tmpfs_runs, "rate")
                    xper = dict(cols(runs, "rate"), tollmar=median_of(x_runs, "rate"))
                    table.add("%s, -X (served in place)" % label, xper, per_s,
                              "≥ spool on tmpfs (%s)" % per_s(on_tmpfs), "higher",
                              check=lambda v, t=on_tmpfs: v >= t)
                    for where, per in (
                            ("spool on disk", cols(runs, "p99")),
                            ("spool on tmpfs", dict(cols(runs, "p99"),
                                                    tollmar=median_of(tmpfs_runs, "p99")))):
                        table.add("%s, %s: p99" % (label, where), per, ms, "< 20 ms",
                                  check=lambda v: v < 0.020)

        # -- logins right after a large session used a spool folder on disk
        if want("history"):
            settle()
            history_run(control, auth, (cert, key), history_box, hlabel, login_boxes[0], size,
                        reps, table)

        # -- RETR
        if want("retr"):
            for b, label in retr_boxes:
                warm(servers, b)
                for tls in (False, True):
                    runs = interleaved(servers, reps, lambda s: retr_run(s, b, tls))
                    mbps = {k: b.bytes() / MIB / v for k, v in cols(runs).items()}
                    name = "RETR %s, %s" % (label, "TLS" if tls else "plain")
                    if label.startswith("1000"):
                        table.add(name, mbps, mib_s, "≥ 2× tuned Dovecot (round-trip limit "
                                  "%.0f MiB/s)" % limits["rtt"], "higher",
                                  check=lambda v, r=mbps: v >= 2 * r["dovecot tuned"])
                        # What a pipelining client gains where the round trips dominate.
                        runs = interleaved(servers, reps, lambda s: retr_pipelined_run(s, b, tls))
                        piped = {k: b.bytes() / MIB / v for k, v in cols(runs).items()}
                        table.add("RETR %s pipelined (%d in flight), %s"
                                  % (label, PIPELINE_WINDOW, "TLS" if tls else "plain"),
                                  piped, mib_s, "≥ tuned Dovecot", "higher",
                                  check=lambda v, r=piped: v >= r["dovecot tuned"])
                    elif label.startswith("100 "):
                        table.add(name, mbps, mib_s, "≥ tuned Dovecot", "higher",
                                  check=lambda v, r=mbps: v >= r["dovecot tuned"])
                    elif tls:
                        table.add(name, mbps, mib_s, "≥ 2× tuned Dovecot", "higher",
                                  check=lambda v, r=mbps: v >= 2 * r["dovecot tuned"])
                    else:
                        table.add(name, mbps, mib_s,
                                  "≥ 0.5× loopback TCP (%.0f MiB/s)" % limits["tcp"],
                                  "higher",
                                  check=lambda v: v >= 0.5 * limits["tcp"])

        # -- connect-to-STAT, first and second login, spool folder on disk and tmpfs
        if want("stat"):
            for b, label in stat_boxes:
                if not in_budget("connect-to-STAT on " + label):
                    break
                settle()
                split_disk = statistics.median(
                    [split_time(program, b, spool_disk) for _ in range(reps)])
                split_tmpfs = statistics.median(
                    [split_time(program, b, spool_tmpfs) for _ in range(reps)])
                table.limit("limit: split_mbox, %s, on disk" % label, split_disk, ms)
                table.limit("limit: split_mbox, %s, on tmpfs" % label, split_tmpfs, ms)
                both = servers + [tollmar_tmpfs, tollmar_x]

                def pair(s):
                    return {"first": stat_run(s, b, True), "second": stat_run(s, b, False)}

                runs = interleaved(both, reps, pair)
                tmpfs_runs = runs.pop("tollmar-tmpfs")
                x_runs = runs.pop("tollmar-X")
                for which in ("first", "second"):
                    per = {column[n]: median_of([v[which]["stat"] for v in vals])
                           for n, vals in runs.items()}
                    tm = median_of([v[which]["stat"] for v in tmpfs_runs])
                    # The targets are about the first login, which copies the maildrop.
                    small = label == "1 MiB" or which == "second"
                    table.add("connect-to-STAT %s, %s login, spool on disk" % (label, which),
                              per, ms,
                              "" if small else "≤ 1.2× split_mbox on disk (%s)" % ms(split_disk),
                              check=None if small else (lambda v: v <= 1.2 * split_disk))
                    tper = dict(per, tollmar=tm)
                    table.add("connect-to-STAT %s, %s login, spool on tmpfs" % (label, which),
                              tper, ms, "" if small else "≤ 0.2× tuned Dovecot",
                              check=None if small else
                              (lambda v, r=tper: v <= 0.2 * r["dovecot tuned"]))
                    # Served in place: the first login reads the maildrop and
                    # writes nothing; the second takes the first one's index.
                    xper = dict(per, tollmar=median_of([v[which]["stat"] for v in x_runs]))
                    factor = 0.3 if which == "first" else 1.0
                    table.add("connect-to-STAT %s, %s login, -X (served in place)"
                              % (label, which), xper, ms,
                              "" if label == "1 MiB" else "≤ %g× tuned Dovecot" % factor,
                              check=None if label == "1 MiB" else
                              (lambda v, r=xper, f=factor: v <= f * r["dovecot tuned"]))
                peak = {column[n]: median_of([v["first"]["peak"] for v in vals])
                        for n, vals in runs.items()}
                table.add("peak memory, %s (%d messages)" % (label, b.count), peak, mib,
                          "< 16 MiB + 100 B/message", check=lambda v, n=b.count:
                          v * 1024 < 16 * MIB + 100 * n)
                spool_peak = peak["tollmar"]
                xpeak = dict(peak, tollmar=median_of([v["second"]["peak"] for v in x_runs]))
                table.add("peak memory, %s (%d messages), -X, login from the index"
                          % (label, b.count), xpeak, mib, "≤ spool mode (%s)" % mib(spool_peak),
                          check=lambda v, t=spool_peak: v <= t)

        # -- LIST and UIDL
        if want("list"):
            for b, label in list_boxes:
                if not in_budget("LIST and UIDL on %s messages" % label):
                    break
                settle()
                warm(servers + [tollmar_x], b)
                runs = interleaved(servers + [tollmar_x], reps, lambda s: list_run(s, b))
                x_runs = runs.pop("tollmar-X")
                table.add("login (connect-to-STAT), %s messages" % label, cols(runs, "login"),
                          ms, "linear in messages")
                lst = cols(runs, "list")
                table.add("LIST, %s messages" % label, lst, ms,
                          "≤ tuned Dovecot" if label == "10^4" else "linear in messages",
                          check=(lambda v, r=lst: v <= r["dovecot tuned"])
                          if label == "10^4" else None)
                uidl = cols(runs, "uidl")
                table.add("UIDL, %s messages" % label, uidl, ms, "≤ tuned Dovecot",
                          check=lambda v, r=uidl: v <= r["dovecot tuned"])
                table.add("peak memory, %s messages" % label, cols(runs, "peak"), mib,
                          "< 16 MiB + 100 B/message", check=lambda v, n=b.count:
                          v * 1024 < 16 * MIB + 100 * n)
                xlogin = dict(cols(runs, "login"), tollmar=median_of(x_runs, "login"))
                table.add("login (connect-to-STAT), %s messages, -X, after a session" % label,
                          xlogin, ms, "≤ 2× tuned Dovecot" if label == "10^6" else "",
                          check=(lambda v, r=xlogin: v <= 2 * r["dovecot tuned"])
                          if label == "10^6" else None)
                spool_peak = cols(runs, "peak")["tollmar"]
                xpeak = dict(cols(runs, "peak"), tollmar=median_of(x_runs, "peak"))
                table.add("peak memory, %s messages, -X" % label, xpeak, mib,
                          "≤ spool mode (%s)" % mib(spool_peak),
                          check=lambda v, t=spool_peak: v <= t)

        notes.append("tollmar %s; Dovecot %s; medians of %d interleaved runs" % (
            binary, version, reps))
        notes.append("%d CPUs, load average at the end %s" % (
            os.cpu_count(), " ".join("%.2f" % x for x in os.getloadavg())))
        return table, notes
    finally:
        for d in dovecots:
            d.stop()
        if control is not None:
            control.close()
        reap_orphans(binary)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:  # Dovecot's helpers end once the master is gone
            try:
                pid, _ = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                break
            if pid == 0:
                time.sleep(0.05)
        sandbox.close()
        for sub in ("mail", "home", "spool-disk", "spool-fresh", "spool-used", "dovecot-stock",
                    "dovecot-tuned"):
            shutil.rmtree(os.path.join(WORK, sub), ignore_errors=True)
        if not args.keep_data:
            shutil.rmtree(os.path.join(WORK, "data"), ignore_errors=True)


def build_split_program():
    source = os.path.join(HERE, "tools", "split_mbox.cpp")
    program = os.path.join(WORK, "split_mbox")
    if not os.path.exists(program) or os.path.getmtime(program) < os.path.getmtime(source):
        os.makedirs(WORK, exist_ok=True)
        subprocess.run(["g++", "-O2", "-std=c++20", "-o", program, source], check=True)
    return program


def machine():
    try:
        with open("/etc/debian_version") as f:
            debian = "Debian " + f.read().strip()
    except FileNotFoundError:
        debian = platform.platform()
    model = ""
    try:
        with open("/proc/cpuinfo") as f:
            for row in f:
                if row.startswith("model name"):
                    model = row.split(":", 1)[1].strip()
                    break
    except FileNotFoundError:
        pass
    return "%d cores (%s), %s, kernel %s" % (os.cpu_count(), model, debian, platform.release())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--short", dest="form", action="store_const", const="short",
                        default="full", help="small sizes only (about a minute)")
    parser.add_argument("--medium", dest="form", action="store_const", const="medium",
                        help="up to 100 MiB and 10^5 messages (a few minutes)")
    parser.add_argument("--reps", type=int, default=3, help="runs per median (3 to 15)")
    parser.add_argument("--only", type=lambda t: set(t.split(",")),
                        help="comma-separated groups: limits, logins, history, retr, stat, "
                        "list, quit")
    parser.add_argument("--budget", type=int,
                        help="seconds after which the groups not yet started are skipped")
    parser.add_argument("--out", help="markdown file for the table "
                        "[bench/results-short.md or bench/results-full.md]")
    parser.add_argument("--keep-data", action="store_true",
                        help="keep the generated maildrops in build-compare/data")
    parser.add_argument("--figures", action="store_true",
                        help="also draw the table as figures, <out without .md>.<group>.svg")
    parser.add_argument("--redraw", metavar="RESULTS",
                        help="only draw the figures of a stored results file, and exit")
    args = parser.parse_args()
    if args.redraw:
        for path in figures.draw(args.redraw):
            print("drawn " + path)
        return
    if not 3 <= args.reps <= 15:
        parser.error("--reps must be between 3 and 15")
    if os.geteuid() != 0:
        sys.exit("compare.py must run as root")
    if not os.environ.get("TOLLMAR_BIN"):
        os.environ["TOLLMAR_BIN"] = os.path.join(REPO, "build", "tollmar")
    out = args.out or os.path.join(HERE, "results-%s.md" % args.form)
    if os.environ.get(_NAMESPACE_MARK) != str(os.getpid()):
        subprocess.run(["bash", os.path.join(HERE, "setup.sh")], check=True)
        build_split_program()
    enter_private_namespace()
    # A timeout or an operator's kill still stops the servers and cleans up.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda *_: sys.exit("compare.py: stopped by a signal"))
    program = build_split_program()
    started = time.time()
    table, notes = run(args, program)
    command = " ".join(["python3 bench/compare.py"] + sys.argv[1:])
    text = "\n".join([
        "Run %s UTC on %s; `%s`, %.0f s." % (
            datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M"), machine(), command,
            time.time() - started),
        "",
        table.markdown(),
        "",
    ] + ["- " + n for n in notes]) + "\n"
    with open(out, "w") as f:
        f.write(text)
    print("\n" + text + "\nwritten to " + out)
    if args.figures:
        for path in figures.draw(out):
            print("drawn " + path)


if __name__ == "__main__":
    main()
