"""The shipped fail2ban filter against the log lines of a real run: every
refused login is matched with the client's address, and nothing else is."""

import os
import re
import shutil
import subprocess
import time


SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
FILTER = os.path.join(SOURCE, "contrib", "fail2ban", "tollmar.conf")
MBOX = b"From a@example.org Thu Dec 10 09:00:00 2026\nSubject: hi\n\nhello\n"


def matched_addresses(folder, lines):
    """The addresses fail2ban-regex takes from lines (syslog file format)."""
    # The filter includes fail2ban's common.conf, found beside it.
    filters = os.path.join(folder, "filter.d")
    os.makedirs(filters)
    shutil.copy("/etc/fail2ban/filter.d/common.conf", filters)
    shutil.copy(FILTER, filters)
    log_path = os.path.join(folder, "mail.log")
    stamp = time.strftime("%b %d %H:%M:%S")
    with open(log_path, "w") as f:
        for ln in lines:
            f.write("%s testhost %s[%d]: %s\n" % (stamp, ln.ident, ln.pid, ln.message))
    p = subprocess.run(["fail2ban-regex", "-o", "ip", log_path,
                        os.path.join(filters, "tollmar.conf")],
                       capture_output=True, text=True, timeout=60)
    assert p.returncode == 0, p.stderr
    return p.stdout.split()


def test_filter_matches_exactly_the_refused_logins(sandbox, server, log):
    sandbox.add_user("alice", "s3cret")
    sandbox.write_mbox("alice", MBOX)
    srv = server.start("-P", "0", "-n", "2")
    attempts = [  # (source, name, password)
        ("127.0.0.2", "alice", "wrong"),
        ("127.0.0.1", "nobody", "x"),
        # a name that tries to plant another address in the line
        ("127.0.0.3", "x') from 10.9.8.7", "x"),
        ("127.0.0.1", "alice", "s3cret"),  # accepted: not a failure
    ]
    for source, name, password in attempts:
        with srv.connect(source=source) as c:
            c.login(name, password)
            c.send_line("QUIT")
            c.read_all()
        srv.wait_sessions_ended()
    with srv.connect(source="127.0.0.4") as c:  # junk commands: not a login failure
        c.greeting()
        for _ in range(20):
            c.send_line("JUNK")
        c.read_all()
    held = [srv.connect(source="127.0.0.5") for _ in range(2)]
    for c in held:
        c.greeting()
    with srv.connect(source="127.0.0.5") as c:  # over -n: refused
        c.read_all()
    for c in held:
        c.close()
    log.wait_for(re.compile("^too many connections from 127.0.0.5"))
    log.wait_for(re.compile("^too many bad commands from 127.0.0.4"))
    log.wait_for(re.compile("^login failed"), count=3)
    srv.wait_sessions_ended()

    lines = list(log.lines)
    failures = [ln for ln in lines if ln.message.startswith("login failed")]
    assert [ln.message.rsplit(" ", 1)[1] for ln in failures] == [
        "127.0.0.2", "127.0.0.1", "127.0.0.3"]
    assert len(lines) > len(failures)  # the other lines are there to be left alone
    folder = os.path.join(sandbox.base, "fail2ban")
    assert matched_addresses(folder, lines) == ["127.0.0.2", "127.0.0.1", "127.0.0.3"]
