"""The session's confinement: once logged in, a session process that code has
taken over can open no file outside its maildrop's folder and its spool
folder, whatever the account's permissions allow, and reach no host; the
session itself, its rewrite and its clean-up go on as before."""

import errno
import os
import socket
import struct

import pytest

from pop3_sandbox import write_file
from syscall_injector import inject_syscall

SYS_CLOSE = 3
SYS_SOCKET = 41
SYS_CONNECT = 42
SYS_OPENAT = 257
SYS_FCHMODAT = 268
AT_FDCWD = -100

MSG1 = b"From a@example.org Thu Dec 10 09:00:00 2026\nSubject: one\n\nfirst\n\n"
MSG2 = b"From b@example.org Thu Dec 10 09:01:00 2026\nSubject: two\n\nsecond\n"


def open_in(pid, path):
    """openat(path, O_RDONLY) run by pid: the descriptor or -errno."""
    return inject_syscall(pid, SYS_OPENAT, (AT_FDCWD, "data", os.O_RDONLY), path.encode() + b"\0")


def tcp_connect_from(pid, port):
    """A TCP connection to 127.0.0.1:port made by pid: -errno of the step that
    failed, or 0 when it got through."""
    fd = inject_syscall(pid, SYS_SOCKET, (socket.AF_INET, socket.SOCK_STREAM, 0))
    if fd < 0:
        return fd
    address = struct.pack("=HH4s8x", socket.AF_INET, socket.htons(port), bytes([127, 0, 0, 1]))
    result = inject_syscall(pid, SYS_CONNECT, (fd, "data", len(address)), address)
    inject_syscall(pid, SYS_CLOSE, (fd,))
    return min(result, 0)


@pytest.mark.parametrize("mode", ["plain", "tls", "in_place", "home", "auth_file"])
def test_a_taken_over_session_reaches_only_its_own_mail(sandbox, server, mode):
    alice = sandbox.add_user("alice", "s3cret")
    bob = sandbox.add_user("bob", "unused")
    in_home = mode in ("home", "auth_file")
    drop = sandbox.write_mbox("alice", MSG1 + MSG2,
                              path=os.path.join(alice.home, "inbox") if in_home else None)
    # Files the account's permissions would let it read.
    readable = ["/etc/passwd", write_file(os.path.join(bob.home, "notes"), b"bob's\n", 0o644,
                                          bob.uid, bob.gid)]
    if in_home:
        # Another account's maildrop open to group mail, which the session has.
        readable.append(sandbox.write_mbox("bob", MSG2, mode=0o660))
    args = {"in_place": ["-X"], "home": ["-L", "inbox"],
            "auth_file": ["-a", write_file(os.path.join(sandbox.files_dir, "auth"),
                                           "alice:s3cret:alice:%s\n" % drop, 0o600)]}
    srv = server.start(*args.get(mode, []), tls=mode == "tls")
    with srv.connect() as c:
        assert c.login("alice", "s3cret") == ("+OK", "+OK")
        [session] = srv.connection_pids()
        with open("/proc/%d/status" % session) as f:
            assert "Seccomp:\t2\n" in f.read()
        for path in readable + ["/etc/shadow"]:
            assert open_in(session, path) == -errno.EACCES, path
        assert tcp_connect_from(session, srv.port) == -errno.EPERM
        # Its own maildrop, where Landlock and the modes let it: no mode change.
        chmod = (AT_FDCWD, "data", 0o666)
        assert inject_syscall(session, SYS_FCHMODAT, chmod, drop.encode() + b"\0") == -errno.EPERM
        assert os.stat(drop).st_mode & 0o777 == 0o600
        # The session goes on: its maildrop, the rewrite, the clean-up.
        status, body = c.multi("RETR 2")
        assert status.startswith("+OK") and body[-1] == b"second\r\n"
        assert c.cmd("DELE 1") == "+OK"
        assert c.cmd("QUIT") == "+OK"
    srv.wait_sessions_ended()
    with open(drop, "rb") as f:
        assert f.read() == MSG2
    assert sandbox.lock_files(os.path.dirname(drop)) == []
    assert sandbox.spool_entries() == []
