"""The PROXY protocol from trusted addresses (-r): the client a header names
stands in the log; headers from anyone else, malformed headers and trusted
connections without one are refused with a log line."""

import re
import ssl
import struct

import pytest

from pop3_client import Pop3Client
from pop3_sandbox import LOG_ERR, LOG_INFO, LOG_WARNING
from pop3_server import wait_until

V2_SIGNATURE = b"\r\n\r\n\x00\r\nQUIT\n"


def v1(client="203.0.113.7", port=40123, target_port=110):
    family = "TCP6" if ":" in client else "TCP4"
    target = "::1" if family == "TCP6" else "127.0.0.1"
    return ("PROXY %s %s %s %d %d\r\n" % (family, client, target, port, target_port)).encode()


def v2_tcp4(client=(203, 0, 113, 7), port=40123, command=0x21, tlvs=b""):
    block = bytes(client) + bytes((127, 0, 0, 1)) + struct.pack("!HH", port, 110) + tlvs
    return V2_SIGNATURE + bytes((command, 0x11)) + struct.pack("!H", len(block)) + block


V2_LOCAL = V2_SIGNATURE + b"\x20\x00\x00\x00"
ALPN_TLV = b"\x01\x00\x04pop3"


def proxied(srv, header, tls=False):
    """A client that sends header first, as a proxy does, then speaks POP3."""
    c = Pop3Client(srv.port, tls=tls, handshake=False)
    c.sock.sendall(header)
    if tls:
        c.handshake()
    return c


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
@pytest.mark.parametrize("header, client", [
    (v1(), "203.0.113.7:40123"),
    (v1("2001:db8::7", 1), "2001:db8::7:1"),
    (v1("::ffff:198.51.100.9", 65535), "198.51.100.9:65535"),
    (v2_tcp4(), "203.0.113.7:40123"),
    (v2_tcp4(tlvs=ALPN_TLV), "203.0.113.7:40123"),
], ids=["v1", "v1-ipv6", "v1-mapped", "v2", "v2-tlv"])
def test_trusted_proxy_names_the_client(sandbox, server, log, header, client, tls):
    sandbox.add_user("alice", "s3cret")
    sandbox.write_mbox("alice", b"From a@b Thu Dec 10 09:00:00 2026\n\nhi\n")
    srv = server.start("-r", "127.0.0.1", tls=tls)
    with proxied(srv, header, tls) as c:
        proxy_port = c.sock.getsockname()[1]
        # The header was taken exactly: the first command right after it is
        # the session's.
        assert c.login("alice", "s3cret") == ("+OK", "+OK")
        assert c.cmd("QUIT").startswith("+OK")
    line = log.assert_logged("Client %s via proxy 127.0.0.1:%d" % (client, proxy_port), LOG_INFO)
    assert line.pid != srv.pid  # the connection process read the header
    log.assert_logged("Connection from 127.0.0.1:%d" % proxy_port, LOG_INFO)
    log.assert_logged("Connection closed", LOG_INFO)
    assert srv.stop() == 0


@pytest.mark.parametrize("header, kind", [
    (V2_LOCAL, "LOCAL"),
    (b"PROXY UNKNOWN\r\n", "UNKNOWN"),
    (V2_SIGNATURE + b"\x21\x00\x00\x00", "UNSPEC"),
])
def test_header_without_client_leaves_the_proxy_as_client(server, log, header, kind):
    srv = server.start("-r", "127.0.0.0/8")
    with proxied(srv, header) as c:
        port = c.sock.getsockname()[1]
        assert c.greeting() == "+OK"
        assert c.cmd("QUIT") == "+OK"
    log.assert_logged("PROXY header from 127.0.0.1:%d names no client (%s)" % (port, kind),
                      LOG_INFO)
    assert log.count(re.compile("^Client ")) == 0
    assert srv.stop() == 0


@pytest.mark.parametrize("sent, reason", [
    (b"CAPA\r\n", "not a PROXY header"),
    (b"PROXY TCP4 203.0.113.7 127.0.0.1 40123 110\n", "version 1 header not ended by CR LF"),
    (b"PROXY TCP4 2001:db8::1 127.0.0.1 1 110\r\n", "version 1 header with a malformed address"),
    (V2_SIGNATURE + b"\x21\x11\x00\x0b" + bytes(11), "version 2 header with a short address block"),
    (V2_SIGNATURE + b"\x21\x51\x00\x00", "version 2 header with an unknown family or transport"),
    (v2_tcp4(tlvs=b"\x01\x00\x09pop3"), "version 2 header with a malformed TLV"),
    (b"PROXY TCP4 203.0.113", "connection closed within the header"),
    (b"", "no header within the timeout"),
], ids=["pop3-command", "no-cr", "family-mismatch", "short-block", "bad-family", "bad-tlv",
        "truncated", "silent"])
def test_trusted_address_without_a_valid_header_is_refused(server, log, sent, reason):
    srv = server.start("-r", "127.0.0.1", "-t", "1")
    with Pop3Client(srv.port) as c:
        port = c.sock.getsockname()[1]
        c.sock.sendall(sent)
        if reason == "connection closed within the header":
            c.half_close()
        assert c.read_all() == b""  # no greeting: the connection is just closed
    log.assert_logged("PROXY header refused from 127.0.0.1:%d: %s" % (port, reason), LOG_ERR)
    srv.wait_sessions_ended()
    assert srv.stop() == 0


def test_trusted_proxy_closing_at_once_is_not_logged(server, log):
    srv = server.start("-r", "127.0.0.1")
    with Pop3Client(srv.port) as c:
        port = c.sock.getsockname()[1]
    log.assert_logged("Connection from 127.0.0.1:%d" % port, LOG_INFO)
    srv.wait_sessions_ended()
    assert log.count(re.compile("^PROXY ")) == 0
    assert srv.stop() == 0


@pytest.mark.parametrize("trusted", [[], ["-r", "10.0.0.0/8"], ["-r", "::1"]],
                         ids=["no-r", "other-network", "other-family"])
@pytest.mark.parametrize("header", [v1(), v2_tcp4()], ids=["v1", "v2"])
@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
def test_header_from_untrusted_address_is_refused(server, log, trusted, header, tls):
    srv = server.start(*trusted, tls=tls)
    with Pop3Client(srv.port, tls=tls, handshake=False) as c:
        port = c.sock.getsockname()[1]
        if not tls:
            assert c.greeting() == "+OK"  # a plain server greets before the client speaks
        c.sock.sendall(header + b"USER alice\r\n")
        data = c.read_all()
        assert b"+OK" not in data and b"-ERR" not in data
    log.assert_logged("PROXY header refused from 127.0.0.1:%d: not from a trusted proxy" % port,
                      LOG_ERR)
    assert log.count(re.compile("^Client ")) == 0
    assert srv.stop() == 0


def test_untrusted_client_is_served_as_usual(server, log):
    srv = server.start("-r", "10.0.0.0/8")
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        assert c.multi("CAPA")[0].startswith("+OK")
        assert c.cmd("QUIT") == "+OK"
    assert log.count(re.compile("^PROXY ")) == 0
    assert srv.stop() == 0


def assert_refused(srv, header, tls):
    """A proxied connection over a limit: the reply (plain) or no handshake (TLS)."""
    with Pop3Client(srv.port, tls=tls, handshake=False) as c:
        c.sock.sendall(header)
        if tls:
            with pytest.raises((ConnectionError, ssl.SSLError, OSError)):
                c.handshake()
        else:
            assert c.read_all() == b"-ERR [SYS/TEMP] too many connections\r\n"


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
def test_per_address_limit_holds_the_client_a_header_names(server, log, tls):
    srv = server.start("-r", "127.0.0.1", tls=tls)
    held = [proxied(srv, v1("203.0.113.7", 40000 + i), tls) for i in range(20)]
    try:
        for c in held:
            assert c.greeting() == "+OK"
        assert_refused(srv, v1("203.0.113.7", 40100), tls)
        line = log.wait_for(re.compile(r"^too many connections from 203\.0\.113\.7 "
                                       r"\(limit 20 per address\), 0 more refused"), LOG_WARNING)
        assert line.pid != srv.pid  # judged by the process that read the header
        # The refused process ends; the twenty go on working.
        wait_until(lambda: len(srv.connection_pids()) == 20, "the refused process to end")
        for c in held:
            assert c.multi("CAPA")[0] == "+OK Capability list follows"
        with proxied(srv, v1("198.51.100.9"), tls) as other:  # another client is served
            assert other.greeting() == "+OK"
            assert other.cmd("QUIT") == "+OK"
        # Once one of the twenty has ended, that client may connect again.
        held.pop().close()
        wait_until(lambda: len(srv.connection_pids()) == 19, "a session to end")
        with proxied(srv, v1("203.0.113.7", 40200), tls) as again:
            assert again.greeting() == "+OK"
    finally:
        for c in held:
            c.close()
    assert srv.stop() == 0


def test_total_limit_holds_proxied_connections(server, log):
    # The listener judges the total before any header is read: the refusal
    # names the proxy.
    srv = server.start("-r", "127.0.0.1", "-N", "3")
    held = [proxied(srv, v1("203.0.113.%d" % i)) for i in range(1, 4)]
    try:
        for c in held:
            assert c.greeting() == "+OK"
        assert_refused(srv, v1("203.0.113.9"), False)
        log.wait_for(re.compile(r"^too many connections from 127\.0\.0\.1 \(limit 3 in total\)"),
                     LOG_WARNING)
        assert not log.find(re.compile(r"^Client 203\.0\.113\.9:"))
        assert len(srv.connection_pids()) == 3
    finally:
        for c in held:
            c.close()
