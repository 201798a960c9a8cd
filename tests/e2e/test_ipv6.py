"""IPv6 clients are counted by their prefix: one client holds a whole /64 and
may use any address in it, so the per-address limit, the login throttle and
the refusal reports must see the prefix, not the address. The tests run in a
private network namespace where 2001:db8:1::/48 is local (every address in
it can be connected from and to)."""

import ctypes
import os
import re
import subprocess
import time

import pytest

from pop3_client import Pop3Client
from test_fail2ban import matched_addresses

CLONE_NEWNET = 0x40000000
SERVER = "2001:db8:1:1::1"
PREFIX = "2001:db8:1:2::"  # one client's /64
OTHER_PREFIX = "2001:db8:1:3::"
REFUSED = "-ERR [AUTH] authentication failed"


@pytest.fixture
def ipv6_net():
    """Moves this process into a fresh network namespace for the test (the
    servers it starts stay there) and back afterwards."""
    libc = ctypes.CDLL(None, use_errno=True)
    original = os.open("/proc/self/ns/net", os.O_RDONLY)
    if libc.unshare(CLONE_NEWNET) != 0:
        os.close(original)
        raise OSError(ctypes.get_errno(), "unshare(CLONE_NEWNET)")
    try:
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        subprocess.run(["ip", "-6", "route", "add", "local", "2001:db8:1::/48", "dev", "lo"],
                       check=True)
        with open("/proc/sys/net/ipv6/ip_nonlocal_bind", "w") as f:
            f.write("1")
        yield
    finally:
        libc.setns(original, CLONE_NEWNET)
        os.close(original)


def connect(srv, source):
    return Pop3Client(srv.port, host=SERVER, source=source)


@pytest.mark.parametrize("bits, fourth", [(None, "refused"), ("128", "served")],
                         ids=["default-64", "whole-address"])
def test_connections_from_one_prefix_share_the_per_address_limit(ipv6_net, sandbox, server, log,
                                                                 bits, fourth):
    extra = ["-b", bits] if bits else []
    srv = server.start("-n", "3", *extra, address=SERVER)
    held = [connect(srv, PREFIX + "%x" % (10 + i)) for i in range(3)]
    try:
        for c in held:
            assert c.greeting() == "+OK"
        with connect(srv, PREFIX + "ff") as c:  # a fourth address of the same /64
            if fourth == "refused":
                assert c.read_all() == b"-ERR [SYS/TEMP] too many connections\r\n"
            else:
                assert c.greeting() == "+OK"
        with connect(srv, OTHER_PREFIX + "a") as c:  # another /64 is served
            assert c.greeting() == "+OK"
        if fourth == "refused":
            log.wait_for(re.compile(r"^too many connections from 2001:db8:1:2::/64 "
                                    r"\(limit 3 per address\)"))
        assert log.find(re.compile(r"^Connection from 2001:db8:1:2::a:\d+$"))
    finally:
        for c in held:
            c.close()


def test_guesses_from_many_addresses_of_one_prefix_are_throttled_together(ipv6_net, sandbox,
                                                                         server, log):
    sandbox.add_user("alice", "s3cret")
    srv = server.start("-P", "2", address=SERVER)
    with connect(srv, PREFIX + "a") as c:
        assert c.login("alice", "guess1") == ("+OK", REFUSED)
    # Another address of the /64, and another name: only the prefix is shared.
    with connect(srv, PREFIX + "b") as c, connect(srv, OTHER_PREFIX + "b") as other:
        assert c.greeting() == other.greeting() == "+OK"
        assert c.cmd("USER bob") == "+OK"
        c.send_line("PASS guess2")
        sent = time.monotonic()
        assert other.cmd("USER carol") == "+OK"
        assert other.cmd("PASS guess3") == REFUSED  # at once, meanwhile
        assert c.read_line() == (REFUSED + "\r\n").encode()
        assert time.monotonic() - sent >= 1.5  # the 2 s delay, with slack for the clock
    log.wait_for(re.compile(r"^login failed"), count=3)
    lines = [ln for ln in log.lines if ln.message.startswith("login failed")]
    assert sorted(ln.message.split(" from ", 1)[1] for ln in lines) == [
        "2001:db8:1:2::a in 2001:db8:1:2::/64",
        "2001:db8:1:2::b in 2001:db8:1:2::/64",
        "2001:db8:1:3::b in 2001:db8:1:3::/64",
    ]
    # The shipped fail2ban filter bans the prefix.
    folder = os.path.join(sandbox.base, "fail2ban")
    assert sorted(matched_addresses(folder, lines)) == [
        "2001:db8:1:2::/64", "2001:db8:1:2::/64", "2001:db8:1:3::/64"]
