"""tollmar-passwd as a command: statuses and messages, and the terminal
dialogue (twice, without echo) through a pseudo-terminal."""

import hashlib
import os
import pty
import select
import signal
import subprocess
import termios
import time

import pytest

TOOL = os.environ.get("TOLLMAR_PASSWD", "")


def run(*args, stdin=b""):
    assert os.access(TOOL, os.X_OK), "TOLLMAR_PASSWD must name tollmar-passwd"
    return subprocess.run([TOOL, *args], input=stdin, capture_output=True, timeout=10)


def entry(login, password):
    return "MD5-" + hashlib.md5(password + b"\n" + login + b"\ntollmar").hexdigest()


def test_line_from_standard_input():
    p = run("alice", "mapped", "/var/mail/mapped", stdin=b"pa:ss word\nsecond line ignored\n")
    assert p.returncode == 0, p.stderr
    assert p.stdout == ("alice:%s:mapped:/var/mail/mapped\n"
                        % entry(b"alice", b"pa:ss word")).encode()
    # The last line of the input may lack its line feed.
    assert run("alice", "a", "/m", stdin=b"pa:ss word").stdout == p.stdout.replace(
        b":mapped:/var/mail/mapped", b":a:/m")


@pytest.mark.parametrize("args, stdin, status, message", [
    (["a:b", "acct", "/m"], b"pw\n", 2, b"login contains ':'"),
    (["", "acct", "/m"], b"pw\n", 2, b"login is empty"),
    (["a\nb", "acct", "/m"], b"pw\n", 2, b"login contains a line end"),
    (["a", "ac:ct", "/m"], b"pw\n", 2, b"account contains ':'"),
    (["a", "acct", "/var/mail/x\r"], b"pw\n", 2, b"maildrop contains a line end"),
    (["a", "acct", "mail/a"], b"pw\n", 2, b"maildrop must be an absolute path"),
    (["a", "acct", "/" + "m" * 4060], b"pw\n", 2, b"longer than 4095"),
    (["a" * 1000, "acct", "/m"], b"p" * 15 + b"\n", 3, b"longer than 1014"),
    (["a", "acct", "/m"], b"p" * 5000 + b"\n", 3, b"longer than 1014"),
    (["a", "acct", "/m"], b"\n", 3, b"password is empty"),
    (["a", "acct", "/m"], b"pw\r\n", 3, b"password contains a carriage return"),
    (["a", "acct", "/m"], b"p\0w\n", 3, b"password contains a NUL"),
    (["a", "acct", "/m"], b"", 4, b"no password read"),
    (["a", "acct"], b"pw\n", 1, b"Usage: tollmar-passwd"),
    (["-z", "a", "acct", "/m"], b"pw\n", 1, b"Usage: tollmar-passwd"),
], ids=lambda v: str(v) if isinstance(v, int) else "")
def test_refusals(args, stdin, status, message):
    p = run(*args, stdin=stdin)
    assert (p.returncode, p.stdout) == (status, b""), p.stderr
    assert message in p.stderr


def test_help():
    p = run("-h")
    assert p.returncode == 0
    assert b"Usage: tollmar-passwd <login> <account> <maildrop>" in p.stdout


class Terminal:
    """The tool on a pseudo-terminal; everything it shows is collected."""

    def __init__(self, *args):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execv(TOOL, [TOOL, *args])
        self.seen = b""

    def read_until(self, text, timeout=10):
        deadline = time.monotonic() + timeout
        while text not in self.seen:
            left = deadline - time.monotonic()
            assert left > 0, "timed out waiting for %r; saw %r" % (text, self.seen)
            if select.select([self.fd], [], [], left)[0]:
                try:
                    chunk = os.read(self.fd, 4096)
                except OSError:  # EIO: the tool has ended
                    chunk = b""
                if not chunk:
                    break
                self.seen += chunk
        return text in self.seen

    def type(self, text):
        os.write(self.fd, text)

    def finish(self):
        while True:
            try:
                chunk = os.read(self.fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            self.seen += chunk
        _, status = os.waitpid(self.pid, 0)
        os.close(self.fd)
        return os.waitstatus_to_exitcode(status)


@pytest.mark.parametrize("second, status", [(b"hunter2 \xc3\xa9", 0), (b"hunter3", 3)],
                         ids=["same", "differs"])
def test_terminal_asks_twice_without_echo(second, status):
    t = Terminal("carol", "carol", "/var/mail/carol")
    assert t.read_until(b"Password: ")
    t.type(b"hunter2 \xc3\xa9\n")
    assert t.read_until(b"Retype password: ")
    t.type(second + b"\n")
    assert t.finish() == status
    assert b"hunter" not in t.seen  # nothing typed was echoed
    expected = b"carol:%s:carol:/var/mail/carol" % entry(b"carol", b"hunter2 \xc3\xa9").encode()
    if status == 0:
        assert expected in t.seen
    else:
        assert b"the passwords differ" in t.seen and b"MD5-" not in t.seen


def test_terminal_echo_comes_back_after_an_interrupt():
    # The master side of a pseudo-terminal reports the settings of its terminal.
    t = Terminal("carol", "carol", "/var/mail/carol")
    assert t.read_until(b"Password: ")
    assert not termios.tcgetattr(t.fd)[3] & termios.ECHO
    t.type(b"\x03")  # Ctrl-C: SIGINT to the tool
    _, status = os.waitpid(t.pid, 0)
    assert os.waitstatus_to_exitcode(status) == -signal.SIGINT
    assert termios.tcgetattr(t.fd)[3] & termios.ECHO
    os.close(t.fd)
