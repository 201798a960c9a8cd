"""Logins end to end: system accounts and the authentication file, access lists,
the authorization-phase commands and their exact replies and log lines."""

import hashlib
import os
import syslog

import pytest

from pop3_client import plain_token
from pop3_sandbox import write_file

MBOX = b"From a@example.org Thu Dec 10 09:00:00 2026\nSubject: hi\n\nhello\n"
SIZE = len(b"Subject: hi\r\n\r\nhello\r\n")  # what RETR sends of it
CAPA = [b"TOP\r\n", b"UIDL\r\n", b"USER\r\n", b"SASL PLAIN\r\n", b"RESP-CODES\r\n",
        b"PIPELINING\r\n", b"EXPIRE NEVER\r\n", b"AUTH-RESP-CODE\r\n"]


def digest_entry(password, name, upper=False):
    hexdigits = hashlib.md5(("%s\n%s\ntollmar" % (password, name)).encode()).hexdigest()
    return "MD5-" + (hexdigits.upper() if upper else hexdigits)


def assert_session_ends(client):
    """The server closes the connection without another byte."""
    assert client.read_all() == b""


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
@pytest.mark.parametrize("order", ["user-first", "pass-first", "auth-initial", "auth-continued"])
def test_system_account_login_in_either_order(sandbox, server, log, tls, order):
    sandbox.add_user("alice", "s3cret")
    sandbox.write_mbox("alice", MBOX)
    srv = server.start(tls=tls)
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        if order.startswith("auth"):
            # As the second of USER and PASS, answered by the maildrop phase.
            assert c.auth_plain("alice", "s3cret", initial=order == "auth-initial") == "+OK"
        else:
            first, second = ("USER alice", "PASS s3cret")[:: 1 if order == "user-first" else -1]
            assert c.cmd(first) == "+OK"
            assert c.cmd(second) == "+OK"  # sent by the maildrop phase once it is ready
        assert c.cmd("STAT") == "+OK 1 %d" % SIZE
        assert c.cmd("QUIT") == "+OK"
    log.assert_logged("Authenticated alice", syslog.LOG_INFO)
    log.assert_logged("Connection closed", syslog.LOG_INFO)


REFUSED = "-ERR [AUTH] authentication failed"


# Every refusal of a name or a password looks the same to the client; only the
# log line tells the cases apart, and it names the client's address.
@pytest.mark.parametrize("how", ["user-pass", "auth-plain"])
@pytest.mark.parametrize("user,password,access_lists,cause", [
    ("alice", "wr0ng-pw", False, "wrong password"),
    ("nosuchuser", "x", False, "unknown account"),
    ("locked", "x", False, "no usable password"),
    ("abcdefghijklmnopqrst", "x", False, "unknown account"),
    ("denied", "d3nied", True, "refused by access lists"),
    ("toor", "r00t", False, "account has user id 0"),
    ("jailmate", "j4il", False, "account has the pre-login user id"),
])
def test_refused_logins_get_one_reply(sandbox, server, log, user, password, access_lists,
                                      cause, how):
    sandbox.add_user("alice", "s3cret")
    sandbox.add_user("locked", "x", hashed="!")
    sandbox.add_user("denied", "d3nied")
    sandbox.add_user("toor", "r00t", uid=0, make_home=False)
    sandbox.add_user("jailmate", "j4il", uid=65534, make_home=False)  # nobody's, the -u default
    sandbox.write_etc("pop3.deny", "denied\n")
    srv = server.start(*(["-D"] if access_lists else []))
    with srv.connect() as c:
        if how == "auth-plain":
            assert c.greeting() == "+OK"
            assert c.auth_plain(user, password) == REFUSED
        else:
            assert c.login(user, password) == ("+OK", REFUSED)
        assert_session_ends(c)
    # Only the first 16 characters of a refused name reach the log.
    log.assert_logged("login failed ('%s') return value 0 (%s) from 127.0.0.1"
                      % (user[:16], cause), syslog.LOG_WARNING)
    assert not log.find("Authenticated")
    assert all(password not in m for m in log.messages() if password != "x")


def test_inetd_mode_refuses_the_prelogin_account_too(sandbox, server, log):
    # Without a listener the connection process looks the -u account up itself.
    from listening import inetd
    sandbox.add_user("pop3login", "never", make_home=False)
    sandbox.add_user("jailed", "j4il", uid=sandbox.accounts["pop3login"].uid, make_home=False)
    client, proc = inetd(server, sandbox, "-u", "pop3login")
    with client, client.makefile("rb") as reader:
        assert reader.readline().startswith(b"+OK")
        client.sendall(b"USER jailed\r\nPASS j4il\r\n")
        assert [reader.readline() for _ in range(2)] == [b"+OK\r\n",
                                                         REFUSED.encode() + b"\r\n"]
    proc.wait(timeout=10)
    log.assert_logged("login failed ('jailed') return value 0 (account has the pre-login user id)"
                      " from 127.0.0.1", syslog.LOG_WARNING)


def test_authorization_phase_commands(sandbox, server, log):
    sandbox.add_user("alice", "s3cret")
    sandbox.write_mbox("alice", MBOX)
    srv = server.start()
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        assert c.multi("capa") == ("+OK Capability list follows", CAPA)
        for line in ["", "USER", "USER\talice", "STAT", "NOOP", "APOP alice x", "AUTHPLAIN",
                     "STLS"]:
            assert c.cmd(line) == "-ERR", line
        assert c.cmd("user bob") == "+OK"
        assert c.cmd("USER alice") == "+OK"  # the last USER counts
        assert c.multi("CAPAbility") == ("+OK Capability list follows", CAPA)
        assert c.cmd("pass s3cret") == "+OK"
        assert c.cmd("QUIT") == "+OK"
    log.assert_logged("Authenticated alice", syslog.LOG_INFO)


def test_quit_before_login_ends_quietly(sandbox, server, log):
    srv = server.start()
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        assert c.cmd("QUITTING now") == "+OK"
        assert_session_ends(c)
        mark = log.mark()
    srv.wait_sessions_ended()  # whatever the first process logs, it logged before it ended
    with srv.connect() as c:  # the listener goes on; the first process logged nothing more
        assert c.greeting() == "+OK"
    assert not log.find("Connection closed", since=mark)


def test_end_of_input_before_login_ends_the_process(sandbox, server, log):
    srv = server.start()
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        c.send_line("USER alice")
        assert c.read_line() == b"+OK\r\n"
        c.half_close()
        assert_session_ends(c)  # no "-ERR" for ever, nothing after end of input
    srv.wait_sessions_ended()  # the process exits a moment after it closed the connection


def test_hostile_lines_before_login(sandbox, server, log):
    sandbox.add_user("alice", "s3cret")
    srv = server.start()
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        c.send_raw(b"X" * 100000 + b"\r\n")  # cut at 4095 bytes, the rest discarded
        assert c.read_line() == b"-ERR\r\n"
        c.send_raw(b"\x00\xff\x01garbage\r\n")
        assert c.read_line() == b"-ERR\r\n"
        c.send_raw(b"USER " + b"a" * 5000 + b"\r\n")
        assert c.read_line() == b"+OK\r\n"
        assert c.cmd("PASS s3cret\x00tail") == REFUSED
    log.assert_logged("login failed ('%s') return value 0 (unknown account) from 127.0.0.1"
                      % ("a" * 16), syslog.LOG_WARNING)


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
def test_authentication_file_maps_login_to_account_and_maildrop(sandbox, server, log, tls):
    bob = sandbox.add_user("bob", "unused")
    drop = os.path.join(bob.home, "inbox")
    sandbox.write_mbox("bob", MBOX, path=drop)
    auth = write_file(os.path.join(sandbox.files_dir, "auth"),
                      "other:pw:bob:/nowhere\n"
                      "clear:open sesame:bob:%s\n"
                      "digest:%s:bob:%s\n" % (drop, digest_entry("pw2", "digest", upper=True), drop),
                      0o600)
    srv = server.start("-a", auth, tls=tls)
    for login, password in [("clear", "open sesame"), ("digest", "pw2")]:
        with srv.connect() as c:
            assert c.login(login, password) == ("+OK", "+OK")
            assert c.cmd("LIST 1") == "+OK 1 %d" % SIZE
            assert c.cmd("QUIT") == "+OK"
        log.assert_logged("Authenticated %s" % login, syslog.LOG_INFO)
        srv.wait_sessions_ended()
        # No lock left behind; the takeover guard stays.
        assert sorted(os.listdir(bob.home)) == ["inbox", "inbox.lock.guard"]
    with srv.connect() as c:
        assert c.login("digest", "wrong")[1] == "-ERR [AUTH] authentication failed"
    with srv.connect() as c:  # an account that is not in the file at all
        assert c.login("bob", "unused")[1] == "-ERR [AUTH] authentication failed"
    log.assert_logged("login failed ('bob') return value 0 (unknown account) from 127.0.0.1",
                      syslog.LOG_WARNING)


def test_missing_authentication_file(sandbox, server, log):
    srv = server.start("-a", "/nonexistent/auth")
    with srv.connect() as c:
        assert c.login("bob", "x")[1] == "-ERR [AUTH] authentication failed"
    log.assert_logged("login failed ('bob') return value 0 (auth file unreadable) from 127.0.0.1",
                      syslog.LOG_WARNING)
    log.assert_logged("failed to read auth file: /nonexistent/auth: No such file or directory",
                      syslog.LOG_ERR)


@pytest.mark.parametrize("allow,deny,accepted", [
    (None, None, False),              # no deny list: every login refused
    (None, "", True),                 # empty deny list, no allow list
    (None, "bob\nalice # gone\n", False),
    (None, "alice2\n", True),         # only the whole first word counts
    ("alice\n", "", True),
    ("bob\n", "", False),             # an allow list restricts to its names
])
def test_access_lists(sandbox, server, allow, deny, accepted):
    sandbox.add_user("alice", "s3cret")
    sandbox.write_mbox("alice", MBOX)
    if allow is not None:
        sandbox.write_etc("pop3.allow", allow)
    if deny is not None:
        sandbox.write_etc("pop3.deny", deny)
    srv = server.start("-D")
    with srv.connect() as c:
        reply = c.login("alice", "s3cret")[1]
        assert reply == ("+OK" if accepted else "-ERR [AUTH] authentication failed")


def test_unreadable_allow_list_refuses(sandbox, server):
    sandbox.add_user("alice", "s3cret")
    sandbox.write_etc("pop3.deny", "")
    os.mkdir("/etc/pop3.allow")  # exists, but cannot be read as a list
    srv = server.start("-D")
    with srv.connect() as c:
        assert c.login("alice", "s3cret")[1] == "-ERR [AUTH] authentication failed"


@pytest.fixture
def alice(sandbox):
    sandbox.add_user("alice", "s3cret")
    sandbox.write_mbox("alice", MBOX)


def test_auth_plain_exchange(alice, server, log):
    srv = server.start()
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        assert c.multi("AUTH") == ("+OK", [b"PLAIN\r\n"])
        # Each failed exchange leaves the connection where it was.
        for line, reply in [
            ("AUTH LOGIN", "-ERR unsupported authentication mechanism"),
            ("AUTH PLAINX", "-ERR unsupported authentication mechanism"),
            ("AUTH PLAIN =", "-ERR malformed authentication response"),
            ("AUTH PLAIN !!!!", "-ERR malformed authentication response"),
            ("AUTH PLAIN AGFsaWNlAHMzY3JldA== x", "-ERR malformed authentication response"),
            ("AUTH PLAIN " + plain_token("alice", "s3cret")[:-1],
             "-ERR malformed authentication response"),
            ("AUTH PLAIN YWxpY2UAczNjcmV0", "-ERR malformed authentication response"),  # 2 fields
        ]:
            assert c.cmd(line) == reply, line
        assert c.cmd("AUTH PLAIN") == "+ "
        assert c.cmd("*") == "-ERR authentication cancelled"
        assert c.cmd("AUTH PLAIN") == "+ "
        assert c.cmd("not base64") == "-ERR malformed authentication response"
        # An authorization identity that is the login's own is no other account.
        assert c.auth_plain("alice", "s3cret", authzid="alice") == "+OK"
        assert c.cmd("STAT") == "+OK 1 %d" % SIZE
        assert c.cmd("QUIT") == "+OK"
    log.assert_logged("Authenticated alice", syslog.LOG_INFO)
    srv.wait_sessions_ended()

    # Acting for another account: refused as a wrong password is, without
    # a verdict (no "login failed" line, nothing for the throttle).
    mark = log.mark()
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        assert c.auth_plain("alice", "s3cret", authzid="bob", initial=False) == REFUSED
        assert_session_ends(c)
    log.assert_logged("authorization identity refused from 127.0.0.1", syslog.LOG_WARNING,
                      since=mark)
    srv.wait_sessions_ended()
    assert not log.find("login failed", since=mark)
    assert not any("s3cret" in m for m in log.messages())


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
@pytest.mark.parametrize("login", ["user-pass", "auth-plain"])
def test_a_whole_session_in_one_write(alice, server, tls, login):
    srv = server.start(tls=tls)
    with srv.connect() as c:
        # Sent before the greeting is read: the pre-login process reads the
        # login and the commands behind it in one go, and hands those over.
        logins = {"user-pass": b"USER alice\r\nPASS s3cret\r\n",
                  "auth-plain": b"AUTH PLAIN " + plain_token("alice", "s3cret").encode() + b"\r\n"}
        c.send_raw(b"CAPA\r\n" + logins[login] + b"STAT\r\nLIST\r\nCAPA\r\nQUIT\r\n")
        assert c.greeting() == "+OK"
        assert c.read_line() == b"+OK Capability list follows\r\n"
        assert c.read_multiline() == CAPA
        if login == "user-pass":
            assert c.read_line() == b"+OK\r\n"
        assert c.read_line() == b"+OK\r\n"
        assert c.read_line() == b"+OK 1 %d\r\n" % SIZE
        assert c.read_line().startswith(b"+OK")
        assert c.read_multiline() == [b"1 %d\r\n" % SIZE]
        assert c.read_line() == b"+OK Capability list follows\r\n"
        assert c.read_multiline() == CAPA
        assert c.read_line() == b"+OK\r\n"
        assert c.read_all() == b""
