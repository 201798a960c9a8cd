"""What an attacker on the network meets: a deadline for the whole login phase,
an end to junk commands, connection limits per address and in total, and
slower answers after refused logins."""

import concurrent.futures
import re
import socket
import ssl
import subprocess
import syslog
import time

import pytest

from pop3_server import wait_until

MBOX = b"From a@example.org Thu Dec 10 09:00:00 2026\nSubject: hi\n\nhello\n"


def client_hello():
    """The bytes a TLS client opens its handshake with."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = ctx.wrap_bio(incoming, outgoing)
    with pytest.raises(ssl.SSLWantReadError):
        tls.do_handshake()
    return outgoing.read()


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
def test_trickling_client_is_dropped_at_the_login_deadline(sandbox, server, log, tls):
    # Each byte comes well within -t, so only the deadline of the whole phase
    # can end this client (over TLS: inside a handshake it never finishes,
    # which -t bounds as a whole, so -t is long there).
    srv = server.start("-t", "30" if tls else "2", "-A", "3", tls=tls)
    trickle = client_hello() if tls else b"USER " + b"a" * 1000
    with srv.connect(handshake=False) as c:
        start = time.monotonic()
        if not tls:
            assert c.greeting() == "+OK"
        c.sock.settimeout(0.5)
        received = b""
        for byte in trickle:
            if time.monotonic() - start > 20:
                break
            try:
                c.sock.sendall(bytes([byte]))
                data = c.sock.recv(4096)
                if not data:
                    break
                received += data
            except socket.timeout:
                continue  # nothing from the server yet: send the next byte
            except (BrokenPipeError, ConnectionResetError):
                break
        ended_after = time.monotonic() - start
    assert ended_after < 20, "the client was never dropped"
    assert ended_after > 2, "dropped before the deadline, by -t"
    if not tls:
        assert received == b"-ERR login time exceeded\r\n"
    log.assert_logged("login time exceeded (3 seconds) from 127.0.0.1", syslog.LOG_WARNING)


def test_twenty_bad_commands_end_the_session(sandbox, server, log):
    srv = server.start()
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        assert c.cmd("USER alice") == "+OK"  # known commands do not count
        for n in range(19):
            assert c.cmd("JUNK %d" % n) == "-ERR"
        assert c.multi("CAPA")[0] == "+OK Capability list follows"
        assert c.cmd("") == "-ERR too many bad commands"
        assert c.read_all() == b""
    log.assert_logged("too many bad commands from 127.0.0.1", syslog.LOG_WARNING)


def test_twenty_first_connection_from_an_address_is_refused(sandbox, server, log):
    srv = server.start()
    held = [srv.connect() for _ in range(20)]
    try:
        for c in held:
            assert c.greeting() == "+OK"
        with srv.connect() as extra:
            assert extra.read_all() == b"-ERR [SYS/TEMP] too many connections\r\n"
        with srv.connect(source="127.0.0.2") as other:  # another address is served
            assert other.greeting() == "+OK"
            assert other.cmd("QUIT") == "+OK"
        for c in held:  # the twenty go on working
            assert c.multi("CAPA")[0] == "+OK Capability list follows"
        log.wait_for(re.compile(r"^too many connections from 127\.0\.0\.1 \(limit 20 per address\)"))
        # Once one of them has ended, the address may connect again.
        held.pop().close()
        wait_until(lambda: len(srv.connection_pids()) == 19, "a session to end")
        with srv.connect() as again:
            assert again.greeting() == "+OK"
    finally:
        for c in held:
            c.close()


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
def test_connections_over_the_total_are_refused_without_a_session(sandbox, server, log, tls):
    srv = server.start("-N", "2", tls=tls)
    with srv.connect(source="127.0.0.3") as a, srv.connect(source="127.0.0.4") as b:
        assert a.greeting() == b.greeting() == "+OK"
        mark = log.mark()
        for _ in range(30):  # a burst: refused at once, reported once
            if tls:
                with pytest.raises((ConnectionError, ssl.SSLError, OSError)):
                    srv.connect(source="127.0.0.5")
            else:
                with srv.connect(source="127.0.0.5") as c:
                    assert c.read_all() == b"-ERR [SYS/TEMP] too many connections\r\n"
        assert len(srv.connection_pids()) == 2
        assert a.multi("CAPA")[0] == "+OK Capability list follows"
        log.wait_for(re.compile(r"^too many connections from 127\.0\.0\.5 \(limit 2 in total\)"),
                     since=mark)
        assert log.count(re.compile("^too many connections"), since=mark) == 1
        assert not log.find(re.compile("^Connection from 127.0.0.5"))


def test_refused_logins_slow_down_that_address_only(sandbox, server, log):
    sandbox.add_user("alice", "s3cret")
    srv = server.start("-P", "2")
    refused = "-ERR [AUTH] authentication failed"
    with srv.connect() as first:
        assert first.login("alice", "guess1") == ("+OK", refused)
    with srv.connect() as second, srv.connect(source="127.0.0.2") as other:
        assert second.greeting() == other.greeting() == "+OK"
        assert second.cmd("USER alice") == "+OK"
        second.send_line("PASS guess2")
        sent = time.monotonic()
        # Another address, for another name, is answered at once, while the
        # second login from 127.0.0.1 still waits for its verdict.
        assert other.cmd("USER bob") == "+OK"
        assert other.cmd("PASS guess3") == refused
        second.sock.settimeout(0)
        with pytest.raises(BlockingIOError):
            second.sock.recv(1, socket.MSG_PEEK)
        second.sock.settimeout(10)
        assert second.read_line() == (refused + "\r\n").encode()
        assert time.monotonic() - sent >= 1.5  # the 2 s delay, with slack for the clock
    log.wait_for("login failed ('bob') return value 0 (unknown account) from 127.0.0.2")
    log.wait_for(re.compile(r"^login failed \('alice'\).* from 127\.0\.0\.1$"), count=2)


def test_auth_plain_and_user_pass_earn_one_delay(sandbox, server):
    sandbox.add_user("alice", "s3cret")
    srv = server.start("-P", "1")
    refused = "-ERR [AUTH] authentication failed"
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        assert c.auth_plain("alice", "guess1") == refused
    # Refused by AUTH, delayed for USER/PASS (1 s), and the other way round
    # (2 s after two refusals).
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        assert c.cmd("USER alice") == "+OK"
        sent = time.monotonic()
        assert c.cmd("PASS guess2") == refused
        assert time.monotonic() - sent >= 0.75
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        sent = time.monotonic()
        assert c.auth_plain("alice", "guess3", initial=False) == refused
        assert time.monotonic() - sent >= 1.5


def test_a_name_guessed_from_many_addresses_slows_its_owner_but_lets_him_in(sandbox, server,
                                                                            log):
    sandbox.add_user("alice", "s3cret")
    sandbox.write_mbox("alice", MBOX)
    srv = server.start("-P", "1")
    refused = "-ERR [AUTH] authentication failed"
    for source in ("127.0.0.2", "127.0.0.3"):  # each address refused once
        with srv.connect(source=source) as c:
            assert c.login("alice", "guess")[1] == refused
    # Two refusals on the name: the next login for it waits 2 s, from any
    # address, the owner's with the right password too, which is let in. The
    # name's count is not cleared by that: the guessing goes on elsewhere.
    for _ in range(2):
        with srv.connect(source="127.0.0.4") as owner:
            assert owner.greeting() == "+OK"
            assert owner.cmd("USER alice") == "+OK"
            sent = time.monotonic()
            assert owner.cmd("PASS s3cret").startswith("+OK")
            assert time.monotonic() - sent >= 1.5
            assert owner.cmd("QUIT").startswith("+OK")
        srv.wait_sessions_ended()
    log.wait_for("Authenticated alice", count=2)


def test_a_watched_address_outlasts_refusals_from_1024_others(sandbox, server, log):
    # Unknown names cost the crypt of the first stored hash: a cheap one
    # keeps the flood short.
    cheap = subprocess.run(["openssl", "passwd", "-1", "-stdin"], input=b"x\n", check=True,
                           capture_output=True).stdout.decode().strip()
    sandbox.add_user("decoy", "x", hashed=cheap)
    srv = server.start("-P", "1")
    refused = "-ERR [AUTH] authentication failed"
    for i in range(3):  # 1 s, then 2 s: the next waits 4 s
        with srv.connect(source="127.0.0.9") as c:
            assert c.login("watched%d" % i, "guess")[1] == refused

    def one_off(i):
        with srv.connect(source="127.1.%d.%d" % (i // 200, i % 200 + 1)) as c:
            assert c.login("name%d" % i, "guess")[1] == refused

    with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
        list(pool.map(one_off, range(1024)))
    with srv.connect(source="127.0.0.9") as c:
        assert c.greeting() == "+OK"
        assert c.cmd("USER watched9") == "+OK"
        sent = time.monotonic()
        assert c.cmd("PASS guess") == refused
        assert time.monotonic() - sent >= 3.5  # still the 4 s delay
