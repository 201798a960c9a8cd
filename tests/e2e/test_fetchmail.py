"""fetchmail leaving mail on the server, end to end: it remembers the
unique-ids it has fetched and asks only for new ones, so two messages that
share their first 255 bytes must not share an id."""

import os
import subprocess

from pop3_sandbox import read_bytes


def report(body):
    """A report whose first 255 bytes are the same whatever the body: one
    sender, one second, the same leading headers."""
    head = (b"From cron@example.org Thu Dec 10 13:00:00 2026\n"
            b"From: cron@example.org\nTo: alice@example.org\nSubject: nightly report\n"
            b"Date: Thu, 10 Dec 2026 13:00:00 +0000\nMessage-ID: <report@example.org>\n")
    while len(head) < 300:
        head += b"X-Padding: the same for every report\n"
    return head + b"\n" + body + b"\n\n"


FIRST = report(b"first body: 3 jobs ran")
SECOND = report(b"second body: 1 job failed")
assert FIRST[:255] == SECOND[:255]


class Fetchmail:
    """fetchmail in keep mode with its UIDL list, delivering to a file through an mda."""

    def __init__(self, folder, port):
        self.folder = folder
        self.out = os.path.join(folder, "delivered")
        self.idfile = os.path.join(folder, "fetchids")
        self.rc = os.path.join(folder, "fetchmailrc")
        with open(self.rc, "w") as f:
            f.write('set no bouncemail\n'
                    'poll 127.0.0.1 with proto POP3 port %d uidl timeout 20\n'
                    '  user "alice" there with password "s3cret" is "root" here\n'
                    '  keep no rewrite mda "cat >> %s"\n' % (port, self.out))
        os.chmod(self.rc, 0o600)  # fetchmail refuses a rc file others may read

    def poll(self):
        """One poll; returns fetchmail's status (0: mail fetched, 1: no new mail)."""
        env = {"PATH": "/usr/bin:/bin", "HOME": self.folder, "FETCHMAILHOME": self.folder}
        done = subprocess.run(
            ["fetchmail", "--nosyslog", "--nodetach", "-f", self.rc, "--idfile", self.idfile,
             "--keep", "--uidl", "--sslproto", "", "-v"],
            capture_output=True, env=env, timeout=60)
        self.last_output = done.stdout + done.stderr
        return done.returncode

    def delivered(self):
        return read_bytes(self.out) if os.path.exists(self.out) else b""


def test_fetchmail_keeps_both_reports_of_one_second(sandbox, server, serving):
    sandbox.add_user("alice", "s3cret")
    mbox = sandbox.write_mbox("alice", FIRST)
    srv = server.start(*serving)
    folder = os.path.join(sandbox.base, "fetchmail")
    os.mkdir(folder, 0o700)
    fetch = Fetchmail(folder, srv.port)

    assert fetch.poll() == 0, fetch.last_output
    first_poll = fetch.delivered()
    assert b"first body" in first_poll and b"second body" not in first_poll, first_poll

    # The second report arrives between two polls.
    with open(mbox, "ab") as f:
        f.write(SECOND)
    assert fetch.poll() == 0, fetch.last_output
    second_poll = fetch.delivered()[len(first_poll):]
    assert b"second body" in second_poll and b"first body" not in second_poll, second_poll

    # Nothing new: fetchmail says so and delivers nothing.
    before = fetch.delivered()
    assert fetch.poll() == 1, fetch.last_output
    assert fetch.delivered() == before
    srv.wait_sessions_ended()
    # Keep mode: the maildrop is as it was.
    assert read_bytes(mbox) == FIRST + SECOND
