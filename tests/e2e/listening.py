"""Helpers for the listening tests: a whole POP3 session against one address,
and servers started through systemd-socket-activate (socket activation and
inetd mode without a running systemd)."""

import os
import signal
import socket
import subprocess

from pop3_client import Pop3Client
from pop3_server import children_of, free_port, is_alive, listening_ports, server_binary, \
    wait_until

MBOX = (b"From a@example.org Thu Dec 10 09:00:00 2026\nSubject: one\n\nfirst\n\n"
        b"From b@example.org Thu Dec 10 09:01:00 2026\nSubject: two\n\nsecond\n")
KEPT = MBOX[MBOX.index(b"From b"):]


def whole_session(sandbox, port, host="127.0.0.1", tls=False, user="dora"):
    """Logs in, reads, deletes the first message and quits; returns the client's
    local port. The maildrop must then hold the second message only."""
    with Pop3Client(port, host=host, tls=tls) as c:
        local_port = c.sock.getsockname()[1]
        assert c.login(user, user + "-pw") == ("+OK", "+OK")
        status, body = c.multi("RETR 2")
        assert status.startswith("+OK") and b"second\r\n" in body
        assert c.cmd("DELE 1") == "+OK"
        assert c.cmd("QUIT").startswith("+OK")
        assert c.read_all() == b""
    wait_until(lambda: open(sandbox.mbox_path(user), "rb").read() == KEPT,
               "the maildrop to lose its first message")
    return local_port


def inetd(server, sandbox, *args):
    """The server in inetd mode on one connection accepted here; returns
    (client socket, Popen)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        client = socket.create_connection(listener.getsockname(), timeout=10)
        conn, _ = listener.accept()
    with conn:
        proc = subprocess.Popen([server.binary, "-i", "-x", sandbox.spool_tmp, *args],
                                stdin=conn, stdout=conn, stderr=subprocess.PIPE,
                                env=server._env(None))
    return client, proc


def activate_env():
    """-E options passing the sanitizer settings of the test run through."""
    options = []
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
        if name in os.environ:
            options += ["-E", "%s=%s" % (name, os.environ[name])]
    return options


class Activated:
    """systemd-socket-activate running the server; stopped by its pid."""

    def __init__(self, sandbox, addresses, server_args, accept=False):
        self.ports = [free_port() for _ in addresses]
        argv = ["systemd-socket-activate"]
        if accept:
            argv += ["--accept", "--inetd"]
        for address, port in zip(addresses, self.ports):
            argv += ["-l", "%s:%d" % (address, port)]
        argv += activate_env()
        argv += [server_binary(), "-x", sandbox.spool_tmp, *server_args]
        self.err_path = os.path.join(sandbox.base, "activate-%d.err" % self.ports[0])
        with open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=err, stderr=err,
                                         env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"})
        wait_until(lambda: set(self.ports) <= listening_ports() or self.proc.poll() is not None,
                   "systemd-socket-activate to listen")
        assert self.proc.poll() is None, self.stderr()

    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read()

    def stop(self):
        wait_until(lambda: children_of(self.proc.pid) == [], "the sessions to end")
        self.proc.send_signal(signal.SIGTERM)
        return self.proc.wait(timeout=10)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for kid in children_of(self.proc.pid):
            if is_alive(kid):
                os.kill(kid, signal.SIGKILL)
