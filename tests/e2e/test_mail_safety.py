"""Mail is never lost, resurrected, exposed or forged: a session writes back
only under a lock that is still its own, a message starts only at a real line,
another user's maildrop is out of reach, and QUIT says whether the deletions
were done."""

import os
import socket
import struct
import syslog

import pytest

from pop3_sandbox import read_bytes, write_file

MSG1 = b"From a@example.org Thu Dec 10 09:00:00 2026\nSubject: one\n\nbody one\n\n"
MSG2 = b"From b@example.org Thu Dec 10 09:01:00 2026\nSubject: two\n\nbody two\n\n"
MSG3 = b"From c@example.org Thu Dec 10 09:02:00 2026\nSubject: three\n\nbody three\n\n"
LATE = b"From d@example.org Thu Dec 10 09:03:00 2026\nSubject: late\n\ndelivered later\n\n"
NOT_REMOVED = "-ERR [SYS/TEMP] some deleted messages not removed"


@pytest.fixture
def alice(sandbox):
    acct = sandbox.add_user("alice", "s3cret")
    sandbox.write_mbox("alice", MSG1 + MSG2 + MSG3)
    return acct


def append(path, data):
    with open(path, "ab") as f:
        f.write(data)


def test_session_whose_lock_was_lost_writes_nothing_and_spares_the_new_lock(
        sandbox, server, alice, log):
    """A's lock lapses, B logs in: A's QUIT must neither rewrite the maildrop
    nor remove B's lock, and B's deletion is the only one applied."""
    srv = server.start()
    mbox = sandbox.mbox_path("alice")
    first = srv.connect()
    assert first.login("alice", "s3cret") == ("+OK", "+OK")
    assert first.cmd("DELE 1") == "+OK"
    os.unlink(mbox + ".lock")  # lapsed: the stale rule, a suspended process, clock skew
    with srv.connect() as second:
        assert second.login("alice", "s3cret") == ("+OK", "+OK")
        mark = log.mark()
        assert first.cmd("QUIT") == NOT_REMOVED
        first.close()
        log.assert_logged("failed to write to maildrop: %s: the dot-lock is no longer ours" % mbox,
                          syslog.LOG_ERR, since=mark)
        assert read_bytes(mbox) == MSG1 + MSG2 + MSG3
        assert sandbox.lock_files() == ["alice.lock"]  # the second session's lock stays
        append(mbox, LATE)
        assert second.cmd("DELE 2") == "+OK"
        assert second.cmd("QUIT") == "+OK"
    srv.wait_sessions_ended()
    assert read_bytes(mbox) == MSG1 + MSG3 + LATE
    assert sandbox.lock_files() == []


def test_from_inside_a_long_line_never_starts_a_message(sandbox, server, alice):
    """A body line of 4095 bytes followed on the same line by "From " and
    forged headers stays part of its message, also after a deletion."""
    forged = (b"From a@example.org Thu Dec 10 09:00:00 2026\nSubject: one\n\n" + b"v" * 4095 +
              b"From evil@example.org Thu Dec 10 09:05:00 2026\nSubject: forged\n\nforged\n\n")
    mbox = sandbox.write_mbox("alice", forged + MSG2)
    srv = server.start()
    with srv.connect() as c:
        c.login("alice", "s3cret")
        assert c.cmd("STAT").startswith("+OK 2 ")
        status, lines = c.multi("RETR 2")
        assert status == "+OK" and lines[0] == b"Subject: two\r\n"
        status, lines = c.multi("RETR 1")
        assert b"Subject: forged\r\n" in lines  # body text of message 1
        assert c.cmd("DELE 1") == "+OK"
        assert c.cmd("QUIT") == "+OK"
    srv.wait_sessions_ended()
    assert read_bytes(mbox) == MSG2


def test_maildrop_through_a_users_link_to_another_users_mail_is_refused(sandbox, server, log):
    """-L Mail/inbox with ~/Mail linked to /var/mail must not reach the mail of
    the user named inbox (whose maildrop the group mail may read)."""
    sandbox.add_user("inbox", "unused")
    victim = sandbox.write_mbox("inbox", MSG1 + MSG2, mode=0o660)
    mallory = sandbox.add_user("mallory", "pw")
    os.symlink(sandbox.mail_dir, os.path.join(mallory.home, "Mail"))
    srv = server.start("-L", "Mail/inbox")
    with srv.connect() as c:
        assert c.login("mallory", "pw")[1] == "-ERR [SYS/PERM] failed to scan maildrop contents"
        assert c.read_all() == b""
    srv.wait_sessions_ended()
    log.assert_logged("refusing maildrop: %s/Mail/inbox: a symbolic link in a folder the user "
                      "controls" % mallory.home, syslog.LOG_ERR)
    assert read_bytes(victim) == MSG1 + MSG2
    assert sandbox.lock_files() == []


def test_maildrop_of_another_user_is_refused(sandbox, server, log):
    """An authentication-file line that names a maildrop owned by another
    account: the session runs as its own account and must not read it."""
    sandbox.add_user("owner", "unused")
    sandbox.add_user("vmail", "unused")
    victim = sandbox.write_mbox("owner", MSG1, mode=0o660)
    auth = write_file(os.path.join(sandbox.files_dir, "auth"),
                      "ann:pw:vmail:%s\n" % victim, 0o600)
    srv = server.start("-a", auth)
    with srv.connect() as c:
        assert c.login("ann", "pw")[1] == "-ERR [SYS/PERM] failed to scan maildrop contents"
    srv.wait_sessions_ended()
    log.assert_logged("refusing maildrop: %s: not owned by the session's user" % victim,
                      syslog.LOG_ERR)
    assert read_bytes(victim) == MSG1


def test_failing_rewrite_is_answered_with_err_and_keeps_every_message(sandbox, server, alice,
                                                                        log):
    """A file of another user in the way of the journal: nothing is removed,
    and QUIT says so."""
    mbox = sandbox.mbox_path("alice")
    write_file(mbox + ".tollmar-journal.tmp", b"planted", 0o644)
    srv = server.start()
    with srv.connect() as c:
        c.login("alice", "s3cret")
        assert c.cmd("DELE 2") == "+OK"
        assert c.cmd("QUIT") == NOT_REMOVED
        assert c.read_all() == b""
    srv.wait_sessions_ended()
    log.assert_logged("failed to write to maildrop: %s: journal not written" % mbox,
                      syslog.LOG_ERR)
    assert read_bytes(mbox) == MSG1 + MSG2 + MSG3
    assert sandbox.lock_files() == [] and sandbox.spool_entries() == []


def test_quit_of_a_vanished_client_still_removes_the_deleted_messages(sandbox, server, alice):
    """The client sends DELE and QUIT and resets the connection at once: the
    answer cannot be delivered, the rewrite is done all the same."""
    srv = server.start()
    c = srv.connect()
    c.login("alice", "s3cret")
    c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    c.send_raw(b"DELE 1\r\nQUIT\r\n")
    c.close()  # with a zero linger: a reset
    srv.wait_sessions_ended()
    assert read_bytes(sandbox.mbox_path("alice")) == MSG2 + MSG3
    assert sandbox.lock_files() == [] and sandbox.spool_entries() == []


def test_quit_frees_the_maildrop_before_it_answers(sandbox, server, alice):
    """The lock is gone by the time the client reads the answer to QUIT, even
    with thousands of spool files still to remove, and a client that
    reconnects at once gets in without waiting for the lock."""
    many = b"".join(b"From m%d@example.org Thu Dec 10 09:00:00 2026\n\nbody %d\n\n" % (i, i)
                    for i in range(3000))
    mbox = sandbox.write_mbox("alice", many)
    srv = server.start()
    with srv.connect() as c:
        c.login("alice", "s3cret")
        assert c.cmd("DELE 1") == "+OK"
        assert c.cmd("QUIT") == "+OK"
        # Checked at once on purpose: the order is the point, not an effect
        # that takes time.
        assert sandbox.lock_files() == []
    with srv.connect() as again:
        assert again.login("alice", "s3cret") == ("+OK", "+OK")
        assert again.cmd("STAT").startswith("+OK 2999 ")
        assert again.cmd("QUIT") == "+OK"
    srv.wait_sessions_ended()
    assert read_bytes(mbox) == many[many.index(b"From m1@"):]
    assert sandbox.spool_entries() == []


def test_what_killed_sessions_leave_is_cleared_by_the_listener_and_the_next_login(
        sandbox, server, alice):
    """SIGKILL skips every clean-up: the dot-lock, its second name and the
    session's spool folder stay. The listener, which reaps the session and
    sees that a signal ended it, clears the spool folder at once. The next
    login of that account takes the lock over at once; its QUIT removes the
    dead session's second name. Another account's lock waits for a session of
    that account."""
    from pop3_server import is_alive, wait_until

    sandbox.add_user("bob", "b0bpass")
    sandbox.write_mbox("bob", MSG1 + MSG2)
    srv = server.start()

    def killed_session(user, password, count):
        c = srv.connect()
        assert c.login(user, password) == ("+OK", "+OK")
        with open(sandbox.mbox_path(user) + ".lock") as f:
            pid = int(f.read())
        prefix = ".tollmar_%d_" % pid
        assert sum(n.startswith(prefix) for n in sandbox.spool_files()) == count
        os.kill(pid, 9)
        wait_until(lambda: not is_alive(pid), "the killed session to end")
        c.close()
        wait_until(lambda: not any(n.startswith(prefix) for n in sandbox.spool_files()),
                   "the listener to clear the spool folder of %s" % user)

    killed_session("alice", "s3cret", 3)
    killed_session("bob", "b0bpass", 2)
    srv.wait_sessions_ended()
    assert sandbox.spool_entries() == []
    assert sandbox.lock_files() == ["alice.lock", "bob.lock"]

    with srv.connect() as c:
        assert c.login("alice", "s3cret") == ("+OK", "+OK")
        assert c.cmd("DELE 2") == "+OK"
        assert c.cmd("QUIT") == "+OK"
    srv.wait_sessions_ended()
    assert read_bytes(sandbox.mbox_path("alice")) == MSG1 + MSG3
    # The takeover guard stays beside the maildrop (it holds nothing).
    assert sorted(n for n in sandbox.mail_files() if n.startswith("alice")) == [
        "alice", "alice.lock.guard"]
    assert sandbox.lock_files() == ["bob.lock"]

    with srv.connect() as c:
        assert c.login("bob", "b0bpass") == ("+OK", "+OK")
        assert c.cmd("QUIT") == "+OK"
    srv.wait_sessions_ended()
    assert sandbox.mail_files() == ["alice", "alice.lock.guard", "bob", "bob.lock.guard"]
    assert sandbox.spool_entries() == []
