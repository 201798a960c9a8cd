"""Each session keeps its spool files in a folder of its own below -x that only
its account can enter: -x holds one entry per account with a session, and
nothing of a session is left once it has ended, a kill included (cleared by
the listener, or without one by the account's next session)."""

import os
import re
import stat

import pytest

from listening import inetd
from pop3_sandbox import MAIL_GID

MBOX = b"".join(b"From m%d@example.org Thu Dec 10 09:00:00 2026\n\nbody %d\n\n" % (i, i)
                for i in range(3))


@pytest.fixture
def alice(sandbox):
    acct = sandbox.add_user("alice", "s3cret")
    sandbox.write_mbox("alice", MBOX)
    return acct


def account_folder(sandbox, acct):
    """The path of acct's folder in -x (the only entry of its sessions there)."""
    [name] = [n for n in sandbox.spool_entries()
              if re.fullmatch(r"\.tollmar-%d-\d+" % acct.uid, n)]
    return os.path.join(sandbox.spool_tmp, name)


def lock_pid(sandbox, mbox):
    with open(mbox + ".lock") as f:
        return int(f.read())


def assert_private(path, acct, mode):
    st = os.lstat(path)
    assert (stat.S_IFMT(st.st_mode), stat.S_IMODE(st.st_mode), st.st_uid) == (
        stat.S_IFMT(mode), stat.S_IMODE(mode), acct.uid), path


def as_user(acct, action):
    """Runs action() in a child with the identity of acct's sessions (the
    account and the group mail); returns what it returned, as text."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(r)
            os.setgroups([MAIL_GID])
            os.setgid(MAIL_GID)
            os.setuid(acct.uid)
            os.write(w, action().encode())
        finally:
            os._exit(0)
    os.close(w)
    with os.fdopen(r, "rb") as f:
        out = f.read().decode()
    os.waitpid(pid, 0)
    return out


def test_spool_files_are_in_a_folder_only_their_account_can_enter(sandbox, server, alice):
    bob = sandbox.add_user("bob", "b0bpass")
    sandbox.write_mbox("bob", MBOX[:MBOX.index(b"From m2")])
    srv = server.start()
    with srv.connect() as a, srv.connect() as b:
        assert a.login("alice", "s3cret") == ("+OK", "+OK")
        assert b.login("bob", "b0bpass") == ("+OK", "+OK")
        folders = {}
        for acct, count in ((alice, 3), (bob, 2)):
            pid = lock_pid(sandbox, sandbox.mbox_path(acct.name))
            top = account_folder(sandbox, acct)
            assert_private(top, acct, stat.S_IFDIR | 0o700)
            assert os.listdir(top) == [str(pid)]
            folder = os.path.join(top, str(pid))
            assert_private(folder, acct, stat.S_IFDIR | 0o700)
            names = os.listdir(folder)
            assert len(names) == count
            for name in names:
                assert name.startswith(".tollmar_%d_" % pid)
                assert_private(os.path.join(folder, name), acct, stat.S_IFREG | 0o600)
            folders[acct.name] = folder
        # Nothing else of either session in -x.
        assert len(sandbox.spool_entries()) == 2

        def probe(path, spool_file):
            outcome = []
            for act in (lambda: os.listdir(path), lambda: open(spool_file, "rb").read(),
                        lambda: os.listdir(os.path.dirname(path))):
                try:
                    act()
                    outcome.append("read")
                except PermissionError:
                    outcome.append("denied")
            return " ".join(outcome)

        alice_file = os.path.join(folders["alice"], os.listdir(folders["alice"])[0])
        assert as_user(bob, lambda: probe(folders["alice"], alice_file)) == "denied denied denied"
        assert as_user(alice, lambda: probe(folders["alice"], alice_file)) == "read read read"
        assert a.cmd("QUIT") == "+OK"
        assert b.cmd("QUIT") == "+OK"
    srv.wait_sessions_ended()
    assert sandbox.spool_entries() == []


def test_the_listener_clears_a_killed_session_and_spares_the_live_one_of_the_account(
        sandbox, server, alice):
    """Two maildrops of one account, two sessions at once: the kill of one
    leaves its folder, which the listener clears; the other session's folder
    and files stay, and it goes on serving."""
    from pop3_server import is_alive, wait_until
    from pop3_sandbox import write_file

    second = sandbox.write_mbox("alice", MBOX, path=os.path.join(alice.home, "second"))
    auth = write_file(os.path.join(sandbox.files_dir, "auth"),
                      "one:pw:alice:%s\ntwo:pw:alice:%s\n" % (sandbox.mbox_path("alice"), second),
                      0o600)
    srv = server.start("-a", auth)
    with srv.connect() as doomed, srv.connect() as kept:
        assert doomed.login("one", "pw") == ("+OK", "+OK")
        assert kept.login("two", "pw") == ("+OK", "+OK")
        victim = lock_pid(sandbox, sandbox.mbox_path("alice"))
        survivor = lock_pid(sandbox, second)
        top = account_folder(sandbox, alice)
        assert sorted(os.listdir(top)) == sorted([str(victim), str(survivor)])
        os.kill(victim, 9)
        wait_until(lambda: not is_alive(victim), "the killed session to end")
        wait_until(lambda: os.listdir(top) == [str(survivor)],
                   "the listener to clear the killed session's folder")
        assert len(os.listdir(os.path.join(top, str(survivor)))) == 3
        status, lines = kept.multi("RETR 3")
        assert status == "+OK" and lines[-2:] == [b"body 2\r\n", b"\r\n"]
        assert kept.cmd("QUIT") == "+OK"
    srv.wait_sessions_ended()
    assert sandbox.spool_entries() == []


def inetd_session(server, sandbox):
    """The server in inetd mode (no listener) on one connection, greeted;
    returns (reader of the client's side, client socket, Popen)."""
    client, proc = inetd(server, sandbox)
    reader = client.makefile("rb")
    assert reader.readline().startswith(b"+OK")
    return reader, client, proc


def inetd_login(reader, client):
    client.sendall(b"USER alice\r\nPASS s3cret\r\n")
    return [reader.readline() for _ in range(2)]


def test_without_a_listener_the_next_session_of_the_account_clears_a_killed_one(
        sandbox, server, alice):
    reader, client, proc = inetd_session(server, sandbox)
    with client:
        assert inetd_login(reader, client) == [b"+OK\r\n", b"+OK\r\n"]
        folder = os.path.join(account_folder(sandbox, alice), str(proc.pid))
        assert len(os.listdir(folder)) == 3
        proc.kill()
        assert proc.wait(timeout=10) == -9
    # Nobody has looked yet: the folder and the lock are still there.
    assert len(os.listdir(folder)) == 3
    assert sandbox.lock_files() == ["alice.lock"]

    reader, client, proc = inetd_session(server, sandbox)
    with client:
        assert inetd_login(reader, client) == [b"+OK\r\n", b"+OK\r\n"]
        client.sendall(b"STAT\r\nQUIT\r\n")
        assert reader.readline().startswith(b"+OK 3 ")
        assert reader.readline() == b"+OK\r\n"
        assert proc.wait(timeout=10) == 0
    assert sandbox.spool_entries() == []
    assert sandbox.lock_files() == []
