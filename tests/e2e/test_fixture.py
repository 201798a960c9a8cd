"""The end-to-end fixture itself: isolation, accounts, syslog capture and files."""

import errno
import os
import pwd
import subprocess
import sys

import pytest

from pop3_sandbox import (LOG_ERR, LOG_INFO, LOG_MAIL, LOG_WARNING, MAIL_GID, Sandbox,
                          file_mode, parse_syslog, read_bytes)


def test_accounts_are_visible_with_crypt_hashes(sandbox):
    alice = sandbox.add_user("alice", "s3cret")
    bob = sandbox.add_user("bob", "other", uid=3000)
    assert pwd.getpwnam("alice").pw_dir == "/home/alice"
    assert (pwd.getpwnam("bob").pw_uid, bob.uid) == (3000, 3000)
    shadow = read_bytes("/etc/shadow").decode()
    line = [ln for ln in shadow.splitlines() if ln.startswith("alice:")][0]
    hashed = line.split(":")[1]
    assert hashed.startswith("$6$")
    # The stored hash verifies the clear password with the system's crypt.
    salt = hashed.rsplit("$", 1)[0]
    again = subprocess.run(["openssl", "passwd", "-6", "-salt", salt.split("$")[2], "s3cret"],
                           capture_output=True, check=True).stdout.decode().strip()
    assert again == hashed
    assert file_mode(alice.home) == (0o755, alice.uid, alice.gid)
    assert "mail:x:8:" in read_bytes("/etc/group").decode().splitlines()


def test_mounts_are_undone_and_etc_restored():
    before = read_bytes("/etc/passwd")
    box = Sandbox()
    box.add_user("carol", "pw")
    box.write_etc("pop3.deny", "carol\n")
    assert read_bytes("/etc/pop3.deny") == b"carol\n"
    assert os.path.exists("/dev/log")
    box.close()
    assert not os.path.exists("/etc/pop3.deny")
    assert not os.path.exists("/dev/log")
    assert read_bytes("/etc/passwd") == before
    assert not os.path.exists(box.base)


def test_directories_and_access_lists(sandbox):
    assert not os.path.exists("/etc/pop3.allow")
    assert not os.path.exists("/etc/pop3.deny")
    assert file_mode("/var/mail") == (0o2775, 0, MAIL_GID)
    assert file_mode(sandbox.spool_tmp)[0] == 0o1777
    assert sandbox.mail_files() == [] and sandbox.spool_entries() == []
    sandbox.add_user("dave", "pw")
    path = sandbox.write_mbox("dave", b"From x\n\nbody\n")
    assert file_mode(path) == (0o600, sandbox.accounts["dave"].uid, MAIL_GID)
    open(path + ".lock", "w").close()
    assert sandbox.lock_files() == ["dave.lock"]


def test_tiny_fs_fills_up(sandbox):
    tiny = sandbox.tiny_fs(8)
    with pytest.raises(OSError) as e:
        with open(os.path.join(tiny, "big"), "wb") as f:
            f.write(b"x" * 65536)
            f.flush()
            os.fsync(f.fileno())
    assert e.value.errno == errno.ENOSPC


def test_syslog_lines_are_captured_with_priority_and_pid(sandbox, log):
    probe = ("import syslog; syslog.openlog('probe', syslog.LOG_PID, syslog.LOG_MAIL); "
             "syslog.syslog(syslog.LOG_WARNING, 'first: %s'); "
             "syslog.syslog(syslog.LOG_INFO, 'second line')")
    p = subprocess.run([sys.executable, "-c", probe], check=True)
    assert p.returncode == 0
    second = log.assert_logged("second line", LOG_INFO)
    first = log.assert_logged("first: %s", LOG_WARNING)
    assert (first.ident, first.facility) == ("probe", LOG_MAIL)
    assert first.pid == second.pid
    assert log.messages() == ["first: %s", "second line"]


@pytest.mark.parametrize("datagram,fields", [
    (b"<19>Dec 10 05:13:01 tollmar[42]: failed to bind socket: (any), 110: x",
     (LOG_ERR, LOG_MAIL, "tollmar", 42, "failed to bind socket: (any), 110: x")),
    (b"<22>Jan  2 00:00:00 tollmar[7]: Connection from 127.0.0.1:5: x: y",
     (LOG_INFO, LOG_MAIL, "tollmar", 7, "Connection from 127.0.0.1:5: x: y")),
    (b"<20>Jan  2 00:00:00 noident: text\nwith line feed",
     (LOG_WARNING, LOG_MAIL, "noident", None, "text\nwith line feed")),
])
def test_parse_syslog(datagram, fields):
    line = parse_syslog(datagram)
    assert (line.priority, line.facility, line.ident, line.pid, line.message) == fields


@pytest.mark.parametrize("datagram", [b"", b"no priority", b"<x>Jan  2 00:00:00 a: b"])
def test_parse_syslog_rejects_other_text(datagram):
    assert parse_syslog(datagram) is None
