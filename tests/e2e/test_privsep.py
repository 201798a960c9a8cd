"""Privilege separation: before the login a client talks only to a jailed,
unprivileged pre-login process; the root connection process decides the login
and writes the log lines; over TLS the pre-login process relays the session."""

import os
import signal
import struct
import subprocess
import syslog

import pytest

from pop3_server import children_of, server_binary, wait_until
from syscall_injector import inject_syscall

MSG2 = b"From b@example.org Thu Dec 10 09:01:00 2026\nSubject: two\n\nsecond\n"
MBOX = b"From a@example.org Thu Dec 10 09:00:00 2026\nSubject: one\n\nfirst\n\n" + MSG2
# Octets as sent: the lines after the separator line, with CR LF line ends.
SIZE2 = len(b"Subject: two\r\n\r\nsecond\r\n")
SIZE = len(b"Subject: one\r\n\r\nfirst\r\n\r\n") + SIZE2
PRELOGIN_ROOT = "/run/tollmar/empty"
NOBODY = 65534


@pytest.fixture
def alice(sandbox):
    acct = sandbox.add_user("alice", "s3cret")
    sandbox.write_mbox("alice", MBOX)
    return acct


def proc_status(pid):
    with open("/proc/%d/status" % pid) as f:
        return dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line)


def proc_limits(pid):
    """Soft and hard limit per resource name of /proc/<pid>/limits."""
    limits = {}
    with open("/proc/%d/limits" % pid) as f:
        next(f)
        for row in f:
            name, values = row[:26].strip(), row[26:].split()
            limits[name] = (values[0], values[1])
    return limits


def sanitized_build():
    with open(server_binary(), "rb") as f:
        return b"__asan_init" in f.read()


def shared_mappings(pid):
    """The lines of /proc/<pid>/maps for memory shared with other processes."""
    with open("/proc/%d/maps" % pid) as f:
        return [line for line in f if line.split()[1].endswith("s")]


def prelogin_of(srv, exclude=()):
    """(connection process, its pre-login process), once both exist, for a
    connection process not in exclude."""
    def pair():
        for pid in srv.connection_pids():
            kids = children_of(pid) if pid not in exclude else []
            if kids:
                return pid, kids[0]
        return None
    return wait_until(pair, "a pre-login process")


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
@pytest.mark.parametrize("user", [None, "pop3login"])
def test_prelogin_process_is_jailed(sandbox, server, alice, tls, user):
    extra = []
    uid = gid = NOBODY
    if user is not None:
        acct = sandbox.add_user(user, "never", make_home=False)
        uid, gid = acct.uid, acct.gid
        extra = ["-u", user]
    srv = server.start(*extra, tls=tls)
    with srv.connect() as c:
        c.greeting()
        assert c.cmd("USER alice") == "+OK"
        connection, prelogin = prelogin_of(srv)
        status = proc_status(prelogin)
        assert status["Uid"].split() == [str(uid)] * 4
        assert status["Gid"].split() == [str(gid)] * 4
        assert status["Groups"].split() == []
        assert status["NoNewPrivs"] == "1"
        assert os.readlink("/proc/%d/root" % prelogin) == PRELOGIN_ROOT
        assert os.listdir(PRELOGIN_ROOT) == []
        limits = proc_limits(prelogin)
        assert limits["Max processes"] == ("0", "0")
        assert limits["Max file size"] == ("0", "0")
        assert limits["Max core file size"] == ("0", "0")
        assert int(limits["Max open files"][1]) <= 16
        # No memory shared with the other sessions (the login throttle's and
        # the connection limits' tables): nothing run here can hold their locks.
        assert shared_mappings(prelogin) == []
        # Only the client socket and the pair: no log socket, no standard
        # streams of the server, nothing else the connection process held.
        fds = {int(fd): os.readlink("/proc/%d/fd/%s" % (prelogin, fd))
               for fd in os.listdir("/proc/%d/fd" % prelogin)}
        assert sorted(fds) == [0, 1, 2, 3, 4]
        assert [fds[fd] for fd in (0, 1, 2)] == ["/dev/null"] * 3
        assert fds[3].startswith("socket:") and fds[4].startswith("socket:")
        # The system-call filter is in force before the first client byte,
        # and the process is not dumpable (its /proc files are root's).
        assert status["Seccomp"] == "2"
        assert os.stat("/proc/%d/status" % prelogin).st_uid == 0
        if not sanitized_build():  # AddressSanitizer needs its huge address space
            assert int(limits["Max address space"][1]) <= 512 * 1024 * 1024
        assert int(limits["Max cpu time"][1]) <= 3600
        # The root side never changed: it decides the login.
        assert proc_status(connection)["Uid"].split() == ["0"] * 4

        assert c.cmd("PASS s3cret") == "+OK"
        assert c.cmd("STAT") == "+OK 2 %d" % SIZE
        # Nor the session, which now runs as the account and is not dumpable.
        assert shared_mappings(connection) == []
        assert os.stat("/proc/%d/status" % connection).st_uid == 0
        # Plain: the session has the client socket and no helper; TLS: the
        # jailed process stays on as the TLS end.
        assert children_of(connection) == ([prelogin] if tls else [])
        assert c.cmd("QUIT") == "+OK"
        assert c.read_all() == b""
    srv.wait_sessions_ended()


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
def test_commands_pipelined_with_pass_are_answered_in_order(server, alice, tls):
    srv = server.start(tls=tls)
    # More than the line reader holds: the handed-over bytes come first, the
    # rest straight from the connection (or the TLS layer).
    noops = 3000
    with srv.connect() as c:
        c.greeting()
        c.send_raw(b"USER alice\r\nPASS s3cret\r\nSTAT\r\nLIST 2\r\n" + b"NOOP\r\n" * noops +
                   b"RETR 2\r\nQUIT\r\n")
        assert [c.read_line() for _ in range(4)] == [
            b"+OK\r\n", b"+OK\r\n", b"+OK 2 %d\r\n" % SIZE, b"+OK 2 %d\r\n" % SIZE2]
        assert [c.read_line() for _ in range(noops)] == [b"+OK\r\n"] * noops
        assert c.read_line().startswith(b"+OK")
        assert c.read_multiline()[-1] == b"second\r\n"
        assert c.read_line() == b"+OK\r\n"
        assert c.read_all() == b""
    srv.wait_sessions_ended()


def kill_prelogin_at(srv, stage, other):
    """Connects, reaches `stage` and kills the pre-login process; returns the client."""
    c = srv.connect(handshake=False) if stage == "handshake" else srv.connect()
    if stage == "dialogue":
        c.greeting()
        assert c.cmd("USER alice") == "+OK"
    connection, prelogin = prelogin_of(srv, exclude=[other])
    os.kill(prelogin, signal.SIGKILL)
    return c, connection


@pytest.mark.parametrize("tls, stage", [(True, "handshake"), (True, "dialogue"),
                                        (False, "dialogue")],
                         ids=["tls-handshake", "tls-dialogue", "plain-dialogue"])
def test_killed_prelogin_process_ends_only_its_connection(sandbox, server, alice, log, tls,
                                                          stage):
    sandbox.add_user("bob", "pw-bob")
    sandbox.write_mbox("bob", MBOX)
    srv = server.start(tls=tls)
    with srv.connect() as other:
        assert other.login("bob", "pw-bob") == ("+OK", "+OK")
        [kept] = srv.connection_pids()
        victim, connection = kill_prelogin_at(srv, stage, kept)
        assert connection != kept
        if stage == "handshake":
            with pytest.raises((ConnectionError, OSError)):
                victim.handshake()
        else:
            assert victim.read_all() == b""
        victim.close()
        srv.wait_sessions_ended(keep=[kept])
        assert other.cmd("STAT") == "+OK 2 %d" % SIZE
        assert other.cmd("QUIT") == "+OK"
    srv.wait_sessions_ended()
    assert not log.find("Authenticated alice")
    assert sandbox.lock_files() == [] and sandbox.spool_entries() == []
    assert open(sandbox.mbox_path("alice"), "rb").read() == MBOX


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
def test_a_stopped_prelogin_process_loses_its_slot_at_the_login_deadline(server, alice, log,
                                                                         tls):
    srv = server.start("-A", "2", "-N", "1", "-t", "30", tls=tls)
    stuck = srv.connect(handshake=False) if tls else srv.connect()
    try:
        connection, prelogin = prelogin_of(srv)
        os.kill(prelogin, signal.SIGSTOP)
        # The slot is taken: the next client is refused at once ...
        if not tls:
            with srv.connect() as c:
                assert c.read_all() == b"-ERR [SYS/TEMP] too many connections\r\n"
        # ... until root ends the stopped process at the deadline (2 s and a
        # second's grace), whatever that process does.
        log.wait_for("login time exceeded (2 seconds) from 127.0.0.1", syslog.LOG_WARNING,
                     pid=connection)
        srv.wait_sessions_ended()
        with srv.connect() as c:
            assert c.login("alice", "s3cret") == ("+OK", "+OK")
            assert c.cmd("QUIT") == "+OK"
    finally:
        stuck.close()


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
def test_log_lines_come_from_the_connection_process(server, alice, log, tls):
    srv = server.start("-t", "1", tls=tls)
    with srv.connect() as c:
        c.greeting()
        connection, prelogin = prelogin_of(srv)
        # Written by the jailed process, logged by the root side.
        timed_out = log.wait_for("read() timed out.", syslog.LOG_ERR)
        assert timed_out.pid == connection
        assert c.read_all() == b"-ERR read() timed out.\r\n"
    with srv.connect() as c:
        assert c.login("alice", "wrong") == ("+OK", "-ERR [AUTH] authentication failed")
        refused = log.wait_for("login failed ('alice') return value 0 (wrong password) from 127.0.0.1",
                                syslog.LOG_WARNING)
    with srv.connect() as c:
        assert c.login("alice", "s3cret") == ("+OK", "+OK")
        accepted = log.wait_for("Authenticated alice", syslog.LOG_INFO)
        [connection] = srv.connection_pids()
        assert accepted.pid == connection
        assert c.cmd("QUIT") == "+OK"
    assert log.wait_for("Connection closed", syslog.LOG_INFO, pid=connection)
    assert refused.pid != timed_out.pid
    srv.wait_sessions_ended()


SYS_WRITE = 1
PAIR_FD = 4  # the pre-login process's end of the socket pair


def test_root_logs_only_a_few_lines_for_a_prelogin_process(server, alice, log):
    # A taken-over pre-login process sends one allowed event after another:
    # root would write every one of them, a syslog flood at the cost of one
    # connection. A real one logs a line or two and ends.
    srv = server.start()
    with srv.connect() as c:
        c.greeting()
        connection, prelogin = prelogin_of(srv)
        text = b"read() timed out."
        flood = struct.pack("=IIi", 1, 4 + len(text), syslog.LOG_ERR) + text
        flood *= 100
        # Root may end the process before the injector reads the result.
        assert inject_syscall(prelogin, SYS_WRITE, (PAIR_FD, "data", len(flood)), flood) in (
            len(flood), None)
        log.wait_for("bad message from the pre-login process: too many log lines", syslog.LOG_ERR,
                     pid=connection)
        assert c.read_all() == b""
    srv.wait_sessions_ended()
    assert 1 <= log.count("read() timed out.", pid=connection) <= 8


@pytest.mark.parametrize("prepare, args, text", [
    (None, ["-u", "ghost"],
     "failed to enter the pre-login jail: ghost: no such pre-login user: No such file or directory"),
    (None, ["-u", "root"],
     "failed to enter the pre-login jail: root: the pre-login user must not be root: "
     "Operation not permitted"),
    ("file", [], "unusable pre-login folder: /run/tollmar/empty: not empty"),
    ("writable", [], "unusable pre-login folder: /run/tollmar/empty: "
                     "not a folder only root may change"),
])
def test_server_refuses_to_start_without_a_usable_jail(server, log, prepare, args, text):
    os.makedirs(PRELOGIN_ROOT, exist_ok=True)
    if prepare == "file":
        open(os.path.join(PRELOGIN_ROOT, "planted"), "w").close()
    elif prepare == "writable":
        os.chmod(PRELOGIN_ROOT, 0o777)
    srv = server.start(*args, wait_listening=False)
    assert srv.wait() == 1
    assert srv.stderr() == text.encode() + b"\n"
    log.assert_logged(text, syslog.LOG_ERR)


def test_tls_relay_outlives_the_session_until_everything_is_out(sandbox, server, alice):
    # A session that has written its last reply may end before the client
    # has read it: the relay still holds the tail and must deliver it.
    lines = [b"%07d " % i + b"x" * 72 + b"\n" for i in range(40000)]
    sandbox.write_mbox("alice", b"From a@example.org Thu Dec 10 09:00:00 2026\n\n" + b"".join(lines))
    srv = server.start(tls=True)
    with srv.connect() as c:
        assert c.login("alice", "s3cret") == ("+OK", "+OK")
        c.send_raw(b"RETR 1\r\nQUIT\r\n")
        srv.wait_sessions_ended()
        assert c.read_line().startswith(b"+OK")
        body = c.read_multiline()
        assert body[1:] == [line[:-1] + b"\r\n" for line in lines]
        assert c.read_line() == b"+OK\r\n"
        assert c.read_all() == b""


@pytest.fixture(scope="module")
def stop_sweep_lib(tmp_path_factory):
    """A preload library that stops a process as it lists a folder once it is
    no longer root (see stop_sweep.c)."""
    out = str(tmp_path_factory.mktemp("preload") / "stop_sweep.so")
    src = os.path.join(os.path.dirname(__file__), "stop_sweep.c")
    subprocess.run(["cc", "-shared", "-fPIC", "-o", out, src, "-ldl"], check=True)
    os.chmod(os.path.dirname(out), 0o755)
    return out


def private_key_pieces(key_file):
    """Byte strings that only a copy of the key holds: a line of its PEM text
    and its first prime as written and as OpenSSL keeps it in memory (64-bit
    words, least significant first)."""
    text = subprocess.run(["openssl", "rsa", "-in", key_file, "-noout", "-text"],
                          capture_output=True, text=True, check=True).stdout
    hex_lines = text.split("prime1:")[1].split("prime2:")[0]
    prime = bytes.fromhex(hex_lines.replace(":", "").replace(" ", "").replace("\n", ""))
    prime = prime.lstrip(b"\0")
    with open(key_file, "rb") as f:
        pem_line = f.read().splitlines()[2]
    return [pem_line, prime[:24], prime[::-1][:24]]


def readable_memory(pid, largest=1 << 30):
    """Every readable private region of a process, read through /proc/<pid>/mem,
    one region at a time. Regions over `largest` bytes are left out: only
    AddressSanitizer's shadow is that large, and it holds no data of ours."""
    with open("/proc/%d/maps" % pid) as maps, open("/proc/%d/mem" % pid, "rb", 0) as mem:
        for line in maps:
            fields = line.split()
            if not fields[1].startswith("r") or (len(fields) > 5 and fields[5] == "[vvar]"):
                continue
            start, end = (int(x, 16) for x in fields[0].split("-"))
            if end - start > largest:
                continue
            try:
                mem.seek(start)
                yield mem.read(end - start)
            except OSError:
                pass


def test_cleanup_helper_holds_nothing_of_roots(sandbox, server, alice, log, stop_sweep_lib,
                                               tls_files):
    # The listener forks a helper as the account to clear a killed session's
    # spool folder: stopped here as it lists the folder, it must hold neither
    # the shared tables (the throttle's secret and entries, the connection
    # counts) nor the TLS private key.
    srv = server.start(tls=True, env={"LD_PRELOAD": stop_sweep_lib, "TOLLMAR_STOP_SWEEP": "1"})
    with srv.connect() as c:
        assert c.login("alice", "s3cret") == ("+OK", "+OK")
        [session] = [p for p in srv.connection_pids()
                     if proc_status(p)["Uid"].split()[0] == str(alice.uid)]
        os.kill(session, signal.SIGKILL)
        helper = wait_until(lambda: next(
            (p for p in srv.connection_pids() if p != session
             and proc_status(p)["State"].startswith("T")), None), "the stopped clean-up helper")
    try:
        status = proc_status(helper)
        assert status["Uid"].split() == [str(alice.uid)] * 4
        assert shared_mappings(helper) == []
        if sanitized_build():
            # AddressSanitizer keeps freed memory out of use for a while, so
            # the key file's bytes freed in the listener at start linger in
            # every process it forks; only the real allocator's reuse is
            # what ships.
            return
        _, key = tls_files()
        pieces = private_key_pieces(key)
        read = 0
        for region in readable_memory(helper):
            read += len(region)
            for piece in pieces:
                assert piece not in region, piece
        assert read > 1 << 20
    finally:
        os.kill(helper, signal.SIGCONT)
    srv.wait_sessions_ended()
