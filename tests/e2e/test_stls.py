"""STLS on a plain listener (-S, -R) end to end: the upgrade, the session that
starts afresh behind it, the bytes a client sent behind STLS in plain text
(never read as commands over TLS), the refusals, the handshake under the login
deadline, and real clients that upgrade."""

import os
import poplib
import ssl
import subprocess
import syslog

import pytest

from pop3_client import plain_token

MBOX = (b"From a@example.org Thu Dec 10 09:00:00 2026\nSubject: one\n\nfirst\n\n"
        b"From b@example.org Thu Dec 10 09:01:00 2026\nSubject: two\n\nsecond\n")
SIZE1 = len(b"Subject: one\r\n\r\nfirst\r\n\r\n")
SIZE2 = len(b"Subject: two\r\n\r\nsecond\r\n")
SIZE = SIZE1 + SIZE2

LOGIN = [b"USER\r\n", b"SASL PLAIN\r\n"]
STLS = [b"STLS\r\n"]
TAIL = [b"RESP-CODES\r\n", b"PIPELINING\r\n", b"EXPIRE NEVER\r\n", b"AUTH-RESP-CODE\r\n"]
HEAD = [b"TOP\r\n", b"UIDL\r\n"]
BEFORE_STLS = HEAD + LOGIN + STLS + TAIL
AFTER_STLS = HEAD + LOGIN + TAIL
TLS_REQUIRED = "-ERR [AUTH] TLS is required before login: issue STLS first"
BEGIN = "+OK begin TLS negotiation"


@pytest.fixture(autouse=True)
def alice(sandbox):
    """The account every test here logs in with, two messages in its maildrop."""
    sandbox.add_user("alice", "s3cret")
    sandbox.write_mbox("alice", MBOX)


@pytest.fixture
def start_stls(server, tls_files):
    """Starts a plain listener with the test certificate and these options."""
    def start(*options):
        cert, key = tls_files()
        return server.start(*options, "-c", cert, "-k", key)
    return start


def test_stls_upgrades_and_the_session_starts_afresh(start_stls, log):
    srv = start_stls("-S")
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        assert c.multi("CAPA") == ("+OK Capability list follows", BEFORE_STLS)
        assert c.starttls() == BEGIN
        # No greeting again; STLS is no longer offered.
        assert c.multi("CAPA") == ("+OK Capability list follows", AFTER_STLS)
        # Commands sent together over TLS, across the login and the relay.
        c.send_raw(b"USER alice\r\nPASS s3cret\r\nSTAT\r\nRETR 2\r\nCAPA\r\nQUIT\r\n")
        assert [c.read_line() for _ in range(3)] == [b"+OK\r\n", b"+OK\r\n",
                                                     b"+OK 2 %d\r\n" % SIZE]
        assert c.read_line().startswith(b"+OK")
        assert c.read_multiline() == [b"Subject: two\r\n", b"\r\n", b"second\r\n"]
        assert c.read_line() == b"+OK Capability list follows\r\n"
        assert c.read_multiline() == AFTER_STLS
        assert c.read_line() == b"+OK\r\n"
        assert c.read_all() == b""
    log.assert_logged("Authenticated alice", syslog.LOG_INFO)
    srv.wait_sessions_ended()


# The study's command injection: what a client (or a man in the middle) put
# behind STLS in plain text must never be taken as a command after the
# handshake. Were the login behind STLS read, CAPA's reply would come after
# two "+OK" and PASS would be the second of the pair.
INJECTED = b"USER alice\r\nPASS s3cret\r\n"


@pytest.mark.parametrize("when", ["same-write", "before-reply"])
def test_bytes_behind_stls_are_never_read(start_stls, log, when):
    srv = start_stls("-S")
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        if when == "same-write":
            c.send_raw(b"STLS\r\n" + INJECTED)
        else:
            c.send_line("STLS")
            c.send_raw(INJECTED)  # a segment of its own, before the reply is read
        assert c.read_line() == BEGIN.encode() + b"\r\n"
        try:
            c.start_tls()
        except (ssl.SSLError, ConnectionError, OSError):
            # Bytes that reached the socket after the reader's last read are
            # taken as the start of the handshake, which then fails: also
            # never a command. Only a separate segment may end here.
            assert when == "before-reply"
            log.assert_logged("SSL: failed to accept connection", syslog.LOG_ERR)
        else:
            assert c.multi("CAPA") == ("+OK Capability list follows", AFTER_STLS)
            assert c.cmd("PASS s3cret") == "+OK"
            assert c.cmd("QUIT") == "+OK"
    srv.wait_sessions_ended()
    assert not log.find("Authenticated")
    assert not log.find("login failed")


@pytest.mark.parametrize("options, before, reply", [
    ((), [], "-ERR"),                                   # not offered
    (("-S",), ["USER alice"], "-ERR STLS only before USER and PASS"),
    (("-S",), ["PASS s3cret"], "-ERR STLS only before USER and PASS"),
    (("-S",), ["STLS"], "-ERR TLS is already active"),  # twice
], ids=["not-offered", "after-user", "after-pass", "twice"])
def test_stls_refused(start_stls, options, before, reply):
    srv = start_stls(*options)
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        if before == ["STLS"]:
            assert c.starttls() == BEGIN
        else:
            for line in before:
                assert c.cmd(line) == "+OK"
        assert c.cmd("STLS") == reply
        # The refusal changes nothing: the login goes on where it was.
        if before != ["USER alice"]:
            assert c.cmd("USER alice") == "+OK"
        if before != ["PASS s3cret"]:
            assert c.cmd("PASS s3cret") == "+OK"
        assert c.cmd("STAT") == "+OK 2 %d" % SIZE
        # Nor is there any STLS after the login.
        assert c.cmd("STLS") == "-ERR command not understood"
        assert c.cmd("QUIT") == "+OK"


@pytest.mark.parametrize("option", ["-S", "-R"])
def test_without_a_certificate_no_stls_and_the_plain_port_serves_on(server, log, option):
    srv = server.start(option, "-c", "/nonexistent/cert.pem", "-k", "/nonexistent/key.pem")
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        assert b"STLS\r\n" not in c.multi("CAPA")[1]
        assert c.cmd("STLS") == "-ERR"
        if option == "-S":
            assert c.cmd("USER alice") == "+OK"
            assert c.cmd("PASS s3cret") == "+OK"
            assert c.cmd("STAT") == "+OK 2 %d" % SIZE
        else:  # -R stays closed to a login without TLS
            assert c.cmd("USER alice") == TLS_REQUIRED
        assert c.cmd("QUIT") == "+OK"
    log.assert_logged("SSL: failed to use certificate file: /nonexistent/cert.pem",
                      syslog.LOG_ERR)


def test_stls_refused_under_implicit_tls(server):
    srv = server.start(tls=True)
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        assert b"STLS\r\n" not in c.multi("CAPA")[1]
        assert c.cmd("STLS") == "-ERR"


def test_stls_with_implicit_tls_is_refused_at_start(server, tls_files):
    cert, key = tls_files()
    r = server.run("-s", "-S", "-c", cert, "-k", key)
    assert r.status == 1
    assert r.stderr.endswith(b"-s and -S (or -R) exclude each other\n")


def test_a_handshake_never_completed_ends_at_the_login_deadline(start_stls, log):
    srv = start_stls("-S", "-A", "2", "-t", "30")
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        assert c.cmd("STLS") == BEGIN
        # No ClientHello: the jailed process gives up at the deadline, not at -t.
        assert c.read_all() == b""
    log.assert_logged("login time exceeded (2 seconds) from 127.0.0.1", syslog.LOG_WARNING)
    srv.wait_sessions_ended()


def test_tls_required_before_login(start_stls, log):
    srv = start_stls("-R")
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        assert c.multi("CAPA") == ("+OK Capability list follows", HEAD + STLS + TAIL)
        for line in ["USER alice", "PASS s3cret", "AUTH", "AUTH PLAIN",
                     "AUTH PLAIN " + plain_token("alice", "s3cret")]:
            assert c.cmd(line) == TLS_REQUIRED, line
        assert c.starttls() == BEGIN
        assert c.multi("CAPA") == ("+OK Capability list follows", AFTER_STLS)
        assert c.auth_plain("alice", "s3cret") == "+OK"
        assert c.cmd("STAT") == "+OK 2 %d" % SIZE
        assert c.cmd("QUIT") == "+OK"
    log.assert_logged("Authenticated alice", syslog.LOG_INFO)
    assert not log.find("login failed")


# -- real clients -------------------------------------------------------------

def run_client(argv, folder, timeout=60):
    env = {"PATH": "/usr/bin:/bin", "HOME": folder}
    return subprocess.run(argv, capture_output=True, env=env, timeout=timeout)


def client_folder(sandbox, name, rc_text):
    """A private folder for a client, with its run-control file (mode 0600, as
    the clients want it); returns (folder, rc path, delivered mail's path)."""
    folder = os.path.join(sandbox.base, name)
    os.mkdir(folder, 0o700)
    delivered = os.path.join(folder, "delivered")
    rc = os.path.join(folder, "rc")
    with open(rc, "w") as f:
        f.write(rc_text.format(delivered=delivered, folder=folder))
    os.chmod(rc, 0o600)
    return folder, rc, delivered


@pytest.mark.parametrize("login_options", [None, "AUTH=PLAIN"], ids=["user-pass", "auth-plain"])
def test_curl_requires_stls(start_stls, sandbox, log, login_options):
    srv = start_stls("-R")
    argv = ["curl", "-sS", "--ssl-reqd", "-k", "-u", "alice:s3cret",
            "pop3://127.0.0.1:%d/2" % srv.port]
    if login_options:
        argv[1:1] = ["--login-options", login_options]
    done = run_client(argv, sandbox.base)
    assert done.returncode == 0, done.stderr
    assert done.stdout == b"Subject: two\r\n\r\nsecond\r\n"
    log.assert_logged("Authenticated alice", syslog.LOG_INFO)


def test_python_poplib_stls(start_stls):
    srv = start_stls("-R")
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    pop = poplib.POP3("127.0.0.1", srv.port, timeout=10)
    try:
        assert "STLS" in pop.capa()
        pop.stls(context=ctx)
        capa = pop.capa()
        assert "STLS" not in capa and capa["SASL"] == ["PLAIN"] and "PIPELINING" in capa
        pop.user("alice")
        pop.pass_("s3cret")
        assert pop.stat() == (2, SIZE)
        assert pop.retr(1)[1] == [b"Subject: one", b"", b"first", b""]
    finally:
        pop.quit()


def test_fetchmail_over_stls(start_stls, sandbox, log):
    srv = start_stls("-R")
    folder, rc, delivered = client_folder(
        sandbox, "fetchmail",
        'set no bouncemail\n'
        'poll 127.0.0.1 with proto POP3 port %d timeout 20\n'
        '  user "alice" there with password "s3cret" is "root" here\n'
        '  keep no rewrite mda "cat >> {delivered}"\n' % srv.port)
    # --sslproto without --ssl: STLS is required, TLS 1.2 at least; the
    # test's certificate is its own issuer.
    done = run_client(["fetchmail", "--nosyslog", "--nodetach", "-f", rc, "--keep",
                       "--sslproto", "tls1.2+", "--nosslcertck", "-v"], folder)
    output = done.stdout + done.stderr
    assert done.returncode == 0, output.decode("latin-1")
    assert b"STLS" in output
    with open(delivered, "rb") as f:
        mail = f.read()
    assert b"first" in mail and b"second" in mail
    log.assert_logged("Authenticated alice", syslog.LOG_INFO)


@pytest.mark.parametrize("auth", ["user", "plain"])
def test_mpop_over_stls(start_stls, sandbox, log, auth):
    srv = start_stls("-R")
    folder, rc, delivered = client_folder(
        sandbox, "mpop",
        "account test\nhost 127.0.0.1\nport %d\nuser alice\npassword s3cret\n"
        "auth %s\ntls on\ntls_starttls on\ntls_certcheck off\nkeep on\n"
        "uidls_file {folder}/uidls\ndelivery mbox {delivered}\n" % (srv.port, auth))
    done = run_client(["mpop", "-C", rc, "--debug", "test"], folder)
    output = done.stdout + done.stderr
    assert done.returncode == 0, output.decode("latin-1")
    assert b"STLS" in output
    assert (b"AUTH PLAIN" if auth == "plain" else b"USER alice") in output
    with open(delivered, "rb") as f:
        mail = f.read()
    assert b"first" in mail and b"second" in mail
    log.assert_logged("Authenticated alice", syslog.LOG_INFO)
    assert not log.find("login failed")
