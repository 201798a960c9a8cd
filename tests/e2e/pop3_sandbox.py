"""A per-test sandbox for running the real server as root without touching the host.

Everything here expects to run inside the private mount namespace that
conftest.py sets up, so every mount made here is seen by the test process and
by the servers it starts, and by nobody else.  Per test the sandbox provides:

* ``/etc`` as an overlay whose writes land in a temporary upper directory:
  fresh ``passwd``, ``shadow`` and ``group`` files holding ``root``,
  ``nobody``, the ``mail`` group (gid 8) and the accounts a test adds, and
  room for ``/etc/pop3.allow`` / ``/etc/pop3.deny`` (absent unless written);
* ``/home`` as a tmpfs holding the home directories of the test accounts;
* ``/var/mail`` as a tmpfs, mode 2775 root:mail as on Debian, so that the
  mail group can create dot-locks there;
* a spool temp directory (tmpfs, mode 1777 like /tmp) for ``-x``;
* optional tiny tmpfs mounts (a few KiB) for disk-full cases;
* ``/dev`` replaced by a small tree with null, zero, full, random, urandom
  and tty, plus ``/dev/log``: a datagram socket owned by the test, so that
  every syslog line the server writes is captured (see :class:`Syslog`).

All mounts are undone in :meth:`Sandbox.close`; everything the sandbox
creates lives below one temporary directory that is itself a tmpfs.
"""

import grp
import os
import pwd
import re
import shutil
import socket
import stat
import subprocess
import tempfile
import threading
import time

MAIL_GID = 8

# syslog priorities (the low three bits of <PRI>)
LOG_EMERG, LOG_ALERT, LOG_CRIT, LOG_ERR, LOG_WARNING, LOG_NOTICE, LOG_INFO, LOG_DEBUG = range(8)
LOG_MAIL = 2  # facility number

PRIORITY_NAMES = {
    LOG_EMERG: "LOG_EMERG", LOG_ALERT: "LOG_ALERT", LOG_CRIT: "LOG_CRIT", LOG_ERR: "LOG_ERR",
    LOG_WARNING: "LOG_WARNING", LOG_NOTICE: "LOG_NOTICE", LOG_INFO: "LOG_INFO",
    LOG_DEBUG: "LOG_DEBUG",
}

DEFAULT_WAIT = 10.0  # seconds; only ever a limit for waiting, never asserted


def run(*argv, check=True, **kwargs):
    """Runs a helper command (mount, openssl, ...) and returns its CompletedProcess."""
    return subprocess.run(argv, check=check, capture_output=True, **kwargs)


class LogLine:
    """One captured syslog message: priority and facility as numbers, ident, pid, message."""

    __slots__ = ("priority", "facility", "ident", "pid", "message", "raw")

    def __init__(self, priority, facility, ident, pid, message, raw):
        self.priority = priority
        self.facility = facility
        self.ident = ident
        self.pid = pid
        self.message = message
        self.raw = raw

    def __repr__(self):
        return "<%s %s[%s]: %r>" % (PRIORITY_NAMES.get(self.priority, self.priority),
                                    self.ident, self.pid, self.message)


# glibc sends "<PRI>Mmm dd hh:mm:ss IDENT[PID]: MESSAGE" to /dev/log.
_SYSLOG_FORMAT = re.compile(
    rb"<(\d{1,3})>[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d (.*?)(?:\[(\d+)\])?: (.*)", re.S)


def parse_syslog(datagram):
    """Parses one syslog datagram into a LogLine (None when it is not syslog text)."""
    m = _SYSLOG_FORMAT.fullmatch(datagram)
    if m is None:
        return None
    pri = int(m.group(1))
    pid = int(m.group(3)) if m.group(3) is not None else None
    return LogLine(pri & 7, pri >> 3, m.group(2).decode("latin-1"), pid,
                   m.group(4).decode("latin-1"), datagram)


class Syslog:
    """Receives the datagrams sent to /dev/log and keeps them as LogLine objects.

    ``lines`` is the list of everything received so far (in arrival order).
    Patterns given to the helpers are either a str, compared with the whole
    message, or a compiled regular expression, searched in the message.
    """

    def __init__(self, path):
        self.path = path
        self.lines = []
        self.unparsed = []
        self._cond = threading.Condition()
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._sock.bind(path)
        os.chmod(path, 0o666)  # connection processes log after dropping root
        self._sock.settimeout(0.2)
        self._stop = False
        self._thread = threading.Thread(target=self._receive, name="syslog", daemon=True)
        self._thread.start()

    def _receive(self):
        while not self._stop:
            try:
                data = self._sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            line = parse_syslog(data)
            with self._cond:
                if line is None:
                    self.unparsed.append(data)
                else:
                    self.lines.append(line)
                self._cond.notify_all()

    def close(self):
        self._stop = True
        self._thread.join()
        self._sock.close()

    @staticmethod
    def matches(line, pattern, priority=None, pid=None):
        """True when line's message matches pattern (and priority / pid, when given)."""
        if priority is not None and line.priority != priority:
            return False
        if pid is not None and line.pid != pid:
            return False
        if isinstance(pattern, str):
            return line.message == pattern
        return pattern.search(line.message) is not None

    def mark(self):
        """A position in the log; pass it as ``since`` to look only at later lines."""
        with self._cond:
            return len(self.lines)

    def find(self, pattern, priority=None, pid=None, since=0):
        """All lines received so far (from position ``since``) that match."""
        with self._cond:
            return [ln for ln in self.lines[since:] if self.matches(ln, pattern, priority, pid)]

    def count(self, pattern, priority=None, pid=None, since=0):
        return len(self.find(pattern, priority, pid, since))

    def wait_for(self, pattern, priority=None, pid=None, since=0, count=1, timeout=DEFAULT_WAIT):
        """Waits until ``count`` matching lines have arrived; returns the last of them.

        Raises AssertionError, showing everything logged, when they do not
        arrive within ``timeout`` seconds.
        """
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                found = [ln for ln in self.lines[since:]
                         if self.matches(ln, pattern, priority, pid)]
                if len(found) >= count:
                    return found[count - 1]
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(
                        "syslog: %d line(s) matching %r (priority %s) expected, got %d; log:\n%s"
                        % (count, pattern, PRIORITY_NAMES.get(priority, priority),
                           len(found), self.dump()))
                self._cond.wait(left)

    def assert_logged(self, message, priority, since=0, timeout=DEFAULT_WAIT):
        """Waits for the exact message and checks it came with this priority and facility."""
        line = self.wait_for(message, since=since, timeout=timeout)
        assert (line.priority, line.facility) == (priority, LOG_MAIL), (
            "%r logged as %s, facility %d; expected %s, facility mail"
            % (message, PRIORITY_NAMES.get(line.priority), line.facility,
               PRIORITY_NAMES.get(priority)))
        return line

    def messages(self, since=0):
        with self._cond:
            return [ln.message for ln in self.lines[since:]]

    def dump(self):
        return "\n".join(repr(ln) for ln in self.lines) or "(nothing logged)"


class Account:
    """A test account: name, clear password, uid, gid and home directory."""

    def __init__(self, name, password, uid, gid, home):
        self.name = name
        self.password = password
        self.uid = uid
        self.gid = gid
        self.home = home

    def __repr__(self):
        return "Account(%r, uid=%d)" % (self.name, self.uid)


def hash_password(password):
    """A SHA-512 crypt hash of password, made by the openssl command line tool."""
    return run("openssl", "passwd", "-6", "-stdin",
               input=password.encode() + b"\n").stdout.decode().strip()


class Sandbox:
    """The per-test environment described in the module docstring."""

    def __init__(self):
        self._mounts = []  # mount points, in the order mounted
        self.base = tempfile.mkdtemp(prefix="tollmar-e2e-")
        self._mount("tmpfs", self.base, "-t", "tmpfs", "-o", "mode=755,size=64m")
        self.accounts = {}
        self._next_uid = 2001
        try:
            self._setup()
        except BaseException:
            self.close()
            raise

    # -- mounting ---------------------------------------------------------

    def _mount(self, source, target, *options):
        run("mount", *options, source, target)
        self._mounts.append(target)

    def _dir(self, name, mode=0o755):
        path = os.path.join(self.base, name)
        os.makedirs(path, exist_ok=True)
        os.chmod(path, mode)
        return path

    def bind(self, source, target):
        """Binds the folder source on target (which must exist) until close."""
        self._mount(source, target, "--bind")

    def folder(self, name, mode=0o755):
        """A folder of the sandbox's own tree, made if missing; gone at close."""
        return self._dir(name, mode)

    def tmpfs(self, target, mode, size="16m", uid=0, gid=0):
        """Mounts a fresh tmpfs on target (which must exist)."""
        self._mount("tmpfs", target, "-t", "tmpfs",
                    "-o", "mode=%o,size=%s,uid=%d,gid=%d" % (mode, size, uid, gid))
        return target

    def _setup(self):
        # /etc: an overlay, so that files may be replaced, added and removed.
        upper = self._dir("etc-upper")
        work = self._dir("etc-work")
        self._mount("overlay", "/etc", "-t", "overlay",
                    "-o", "lowerdir=/etc,upperdir=%s,workdir=%s" % (upper, work))
        for name in ("pop3.allow", "pop3.deny"):
            self.remove_etc(name)
        self._write_account_files()

        self.tmpfs("/home", 0o755)
        self.tmpfs("/var/mail", 0o2775, gid=MAIL_GID)
        self.mail_dir = "/var/mail"
        self.spool_tmp = self.tmpfs(self._dir("spool"), 0o1777)
        self.run_dir = self._dir("run")  # for pid files
        # The server makes the pre-login processes' empty root below /run.
        self.tmpfs("/run", 0o755, size="1m")
        self.files_dir = self._dir("files", 0o755)  # auth files, certificates, ...

        self._setup_dev()

    def _setup_dev(self):
        dev = self.tmpfs(self._dir("dev"), 0o755, size="1m")
        for node in ("null", "zero", "full", "random", "urandom", "tty"):
            path = os.path.join(dev, node)
            open(path, "w").close()
            self._mount("/dev/" + node, path, "--bind")
        for name, target in (("fd", "/proc/self/fd"), ("stdin", "/proc/self/fd/0"),
                             ("stdout", "/proc/self/fd/1"), ("stderr", "/proc/self/fd/2")):
            os.symlink(target, os.path.join(dev, name))
        os.mkdir(os.path.join(dev, "shm"), 0o1777)
        os.chmod(os.path.join(dev, "shm"), 0o1777)
        self.syslog = Syslog(os.path.join(dev, "log"))
        self._mount(dev, "/dev", "--rbind")

    def close(self):
        """Undoes every mount (newest first) and removes the temporary tree."""
        if getattr(self, "syslog", None) is not None:
            self.syslog.close()
            self.syslog = None
        errors = []
        while self._mounts:
            target = self._mounts.pop()
            # Lazy: a process of the test that still has a file open there
            # must not keep the mount (or the next test) hostage.
            r = run("umount", "--lazy", target, check=False)
            if r.returncode != 0:
                errors.append("umount %s: %s" % (target, r.stderr.decode().strip()))
        shutil.rmtree(self.base, ignore_errors=True)
        if errors:
            raise RuntimeError("; ".join(errors))

    # -- accounts -----------------------------------------------------------

    def _write_account_files(self):
        passwd = ["root:x:0:0:root:/root:/bin/sh",
                  "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin"]
        shadow = ["root:*:19000:0:99999:7:::", "nobody:*:19000:0:99999:7:::"]
        group = ["root:x:0:", "mail:x:%d:" % MAIL_GID, "nogroup:x:65534:"]
        for acct in self.accounts.values():
            passwd.append("%s:x:%d:%d:%s:%s:/bin/sh" % (acct.name, acct.uid, acct.gid,
                                                         acct.name, acct.home))
            shadow.append("%s:%s:19000:0:99999:7:::" % (acct.name, acct.hash))
            group.append("%s:x:%d:" % (acct.name, acct.gid))
        self.write_etc("passwd", "\n".join(passwd) + "\n", 0o644)
        self.write_etc("group", "\n".join(group) + "\n", 0o644)
        self.write_etc("shadow", "\n".join(shadow) + "\n", 0o600)
        for name in ("gshadow", "passwd-", "shadow-", "group-", "gshadow-"):
            self.remove_etc(name)

    def add_user(self, name, password, uid=None, make_home=True, hashed=None):
        """Adds a system account with its own group and a home under /home.

        The password is stored as a SHA-512 crypt hash unless ``hashed`` gives
        the shadow field to use verbatim (e.g. "*" or "!" for a locked
        account).  Returns the Account.
        """
        if uid is None:
            uid = self._next_uid
            self._next_uid += 1
        acct = Account(name, password, uid, uid, "/home/" + name)
        acct.hash = hashed if hashed is not None else hash_password(password)
        self.accounts[name] = acct
        self._write_account_files()
        if make_home:
            os.makedirs(acct.home, exist_ok=True)
            os.chown(acct.home, uid, uid)
            os.chmod(acct.home, 0o755)
        assert pwd.getpwnam(name).pw_uid == uid
        return acct

    # -- files ---------------------------------------------------------------

    def write_etc(self, name, text, mode=0o644):
        """Writes /etc/<name> (str or bytes) in the overlay."""
        path = os.path.join("/etc", name)
        self.remove_etc(name)
        write_file(path, text, mode)
        return path

    def remove_etc(self, name):
        """Removes /etc/<name> from the overlay view when it exists."""
        try:
            os.unlink(os.path.join("/etc", name))
        except FileNotFoundError:
            pass

    def mbox_path(self, user):
        return os.path.join(self.mail_dir, user)

    def write_mbox(self, user, data, mode=0o600, owner=None, group=MAIL_GID, path=None):
        """Writes a maildrop (bytes) for user, by default /var/mail/<user>.

        The owner defaults to the account of that name (root when there is
        none); the group defaults to mail.  Returns the path.
        """
        path = path or self.mbox_path(user)
        if owner is None:
            owner = self.accounts[user].uid if user in self.accounts else 0
        write_file(path, data, mode, owner, group)
        return path

    def tiny_fs(self, size_kib=8, mode=0o1777, name="tiny"):
        """Mounts a tmpfs of size_kib KiB (for disk-full cases) and returns its path."""
        path = self._dir(name)
        return self.tmpfs(path, mode, size="%dk" % size_kib)

    def spool_files(self):
        """Names of the files anywhere below the spool temp directory (sorted):
        the spool files, which sessions keep in folders of their own."""
        return sorted(name for _, _, files in os.walk(self.spool_tmp) for name in files)

    def spool_entries(self):
        """Names directly in the spool temp directory (sorted): nothing is left
        of the sessions once this is empty."""
        return sorted(os.listdir(self.spool_tmp))

    def lock_files(self, directory=None):
        """Names of dot-lock files in directory (default /var/mail), sorted."""
        directory = directory or self.mail_dir
        return sorted(n for n in os.listdir(directory) if n.endswith(".lock"))

    def mail_files(self):
        """Names in /var/mail (sorted)."""
        return sorted(os.listdir(self.mail_dir))


def write_file(path, data, mode=0o644, owner=0, group=0):
    """Writes str or bytes to path exactly, then sets mode and owner."""
    if isinstance(data, str):
        data = data.encode()
    with open(path, "wb") as f:
        f.write(data)
    os.chown(path, owner, group)
    os.chmod(path, mode)
    return path


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def file_mode(path):
    """(permission bits, uid, gid) of path."""
    st = os.stat(path)
    return stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid


def group_id(name):
    return grp.getgrnam(name).gr_gid
