"""Every line tollmar-passwd writes logs in to the real server (-a), and only
with the password it was made from."""

import os
import subprocess
import syslog

from pop3_sandbox import write_file
from pop3_server import wait_until

MBOX = b"From a@example.org Thu Dec 10 09:00:00 2026\nSubject: %s\n\nbody of %s\n"


def passwd_tool():
    path = os.environ.get("TOLLMAR_PASSWD")
    assert path and os.access(path, os.X_OK), "TOLLMAR_PASSWD must name tollmar-passwd"
    return path


def make_line(login, account, maildrop, password):
    """The tool's line for these fields; the password comes on standard input."""
    p = subprocess.run([passwd_tool(), login, account, maildrop], input=password + b"\n",
                       capture_output=True, timeout=10)
    assert p.returncode == 0, p.stderr
    assert p.stderr == b""
    line = p.stdout
    assert line.endswith(b"\n") and line.count(b"\n") == 1
    return line


# (login, password) as bytes: punctuation, blanks at both ends, ":" (which a
# digested password may hold), UTF-8 in both, and the longest pair the server
# digests (1014 characters together).
LOGINS = [
    (b"alice", b"secret"),
    (b"b.o-b_1+x@example.org", b"p@ss:w0rd;\"'`$\\!#%&*()[]{}<>?,.|~^="),
    (b" spaced ", b"  two blanks each side  "),
    ("jörg".encode(), "grüße € 日本".encode()),
    (b"long", b"x" * 1010),
]


def test_every_line_the_tool_writes_logs_in(sandbox, server, log):
    acct = sandbox.add_user("mapped", "unused-system-password")
    lines = []
    for i, (login, password) in enumerate(LOGINS):
        drop = os.path.join(acct.home, "drop%d" % i)
        sandbox.write_mbox("mapped", MBOX % (b"%d" % i, login), path=drop)
        lines.append(make_line(login, b"mapped", drop.encode(), password))
    auth = write_file(os.path.join(sandbox.files_dir, "users"), b"".join(lines), 0o600)
    # Many refusals in a row from one address follow: without -P 0 the login
    # throttle would make each wait longer than the client does.
    srv = server.start("-a", auth, "-P", "0")

    for i, (login, password) in enumerate(LOGINS):
        mark = log.mark()
        with srv.connect() as c:
            c.greeting()
            assert c.cmd(b"USER " + login) == "+OK"
            assert c.cmd(b"PASS " + password) == "+OK", login
            status, body = c.multi("RETR 1")
            assert status.startswith("+OK")
            sent = (MBOX % (b"%d" % i, login)).split(b"\n", 1)[1]  # no separator line
            assert b"".join(body) == sent.replace(b"\n", b"\r\n")
            assert c.cmd("QUIT") == "+OK"
        log.wait_for("Authenticated " + login.decode("latin-1"), syslog.LOG_INFO, since=mark)
        wait_until(lambda: srv.connection_pids() == [], "the session to end")

    # Each line admits its own password only: not a neighbour's, not a prefix.
    for (login, password), (_, other) in zip(LOGINS, LOGINS[1:] + LOGINS[:1]):
        for wrong in (other, password[:-1]):
            with srv.connect() as c:
                c.greeting()
                c.cmd(b"USER " + login)
                assert c.cmd(b"PASS " + wrong) == "-ERR [AUTH] authentication failed"
