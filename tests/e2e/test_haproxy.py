"""HAProxy (Debian's package) in TCP mode in front of two servers on loopback
that share one maildrop folder: mail fetched through it plain and over TLS
(TLS ends at the servers), the client's own address in the log, its health
checks answered, and two sessions for one maildrop through different
instances excluding each other."""

import re
import shutil

import pytest

from haproxy_front import Haproxy
from pop3_client import Pop3Client
from pop3_sandbox import LOG_INFO, LOG_WARNING
from pop3_server import wait_until

pytestmark = pytest.mark.skipif(shutil.which("haproxy") is None,
                                reason="haproxy is installed by scripts/setup.sh test")

MBOX = (b"From a@example.org Thu Dec 10 09:00:00 2026\nSubject: one\n\nfirst\n\n"
        b"From b@example.org Thu Dec 10 09:01:00 2026\nSubject: two\n\nsecond\n")
CLIENT = "127.0.0.2"  # the client's own address, not the proxy's 127.0.0.1


@pytest.fixture
def pool(sandbox, server):
    """Two servers trusting the proxy's address, and HAProxy in front."""
    def start(tls):
        a = server.start("-r", "127.0.0.1", tls=tls)
        b = server.start("-r", "127.0.0.1", tls=tls)
        started.append(Haproxy(sandbox, "127.0.0.1:%d" % a.port, "127.0.0.1:%d" % b.port, tls))
        return a, b, started[-1]

    started = []
    yield start
    for h in started:
        h.stop()


def served_by(srv, log, client_port):
    """True when the session of this client port ran in a process of srv."""
    line = log.wait_for(re.compile(r"^Client %s:%d via proxy " % (re.escape(CLIENT),
                                                                   client_port)))
    return srv.pid == parent_of(line.pid)


def parent_of(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return int(f.read().rsplit(")", 1)[1].split()[1])
    except FileNotFoundError:
        return None


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
@pytest.mark.parametrize("version", ["v2", "v1"])
def test_mail_through_haproxy_names_the_client(sandbox, log, pool, tls, version):
    sandbox.add_user("dora", "dora-pw")
    sandbox.write_mbox("dora", MBOX)
    a, b, proxy = pool(tls)
    front = proxy.front_v2 if version == "v2" else proxy.front_v1
    with Pop3Client(front, tls=tls, source=CLIENT) as c:
        client_port = c.sock.getsockname()[1]
        assert c.login("dora", "dora-pw") == ("+OK", "+OK")
        status, body = c.multi("RETR 2")
        assert status.startswith("+OK") and b"second\r\n" in body
        assert c.cmd("DELE 1") == "+OK"
        assert c.cmd("QUIT").startswith("+OK")
    line = log.assert_logged(re.compile(r"^Client %s:%d via proxy 127\.0\.0\.1:\d+$"
                                        % (re.escape(CLIENT), client_port)), LOG_INFO)
    assert line.message.startswith("Client %s:%d " % (CLIENT, client_port))
    assert line.pid in [ln.pid for ln in log.find("Authenticated dora")]
    wait_until(lambda: open(sandbox.mbox_path("dora"), "rb").read() == MBOX[MBOX.index(b"From b"):],
               "the maildrop to lose its first message")
    # HAProxy's health checks are answered (with send-proxy-v2 they carry a
    # LOCAL header), and nothing goes wrong on either side.
    log.wait_for(re.compile(r"^PROXY header from 127\.0\.0\.1:\d+ names no client \(LOCAL\)$"),
                 count=4)
    assert [ln for ln in log.lines if ln.priority <= LOG_WARNING] == []


def test_two_sessions_through_different_instances_exclude_each_other(sandbox, log, pool):
    sandbox.add_user("dora", "dora-pw")
    sandbox.write_mbox("dora", MBOX)
    a, b, proxy = pool(False)
    with Pop3Client(proxy.front_v2, source=CLIENT) as first:
        assert first.login("dora", "dora-pw") == ("+OK", "+OK")
        first_port = first.sock.getsockname()[1]
        # Round robin sends the next connection to the other instance.
        with Pop3Client(proxy.front_v2, source=CLIENT) as second:
            second_port = second.sock.getsockname()[1]
            assert second.login("dora", "dora-pw") == ("+OK", "-ERR [IN-USE] failed to lock maildrop")
        instances = {served_by(a, log, first_port), served_by(a, log, second_port)}
        assert instances == {True, False}  # one on each instance
        assert first.cmd("STAT").startswith("+OK 2 ")
        assert first.cmd("QUIT").startswith("+OK")
    # With the first session over, the maildrop is free for either instance.
    with Pop3Client(proxy.front_v2, source=CLIENT) as third:
        assert third.login("dora", "dora-pw") == ("+OK", "+OK")
        assert third.cmd("QUIT").startswith("+OK")
    for srv in (a, b):
        srv.wait_sessions_ended()

