"""Each systemd unit's command line, run directly (this host runs no systemd),
serves mail under the unit's own restrictions, applied as systemd applies
them: its capability bounding set and NoNewPrivileges with setpriv, its
system-call filter as an allow-list built from systemd-analyze's groups
(syscall_allow_list.c), and ProtectSystem=strict with its writable paths in a
mount namespace of its own. The capabilities a unit keeps are shown to be
needed.

The command line is the unit's, with the listening address, the port and the
spool folder moved into the sandbox (-l, -p, -x after the unit's options: the
last one given counts). A fresh -x folder is what PrivateTmp= gives the unit.
An Accept=yes unit runs under systemd-socket-activate --accept --inetd.
"""

import errno
import functools
import os
import re
import shutil
import signal
import socket
import subprocess
import syslog

import pytest

from pop3_client import Pop3Client
from pop3_server import children_of, free_port, is_alive, listening_ports, server_binary, \
    wait_until
from syscall_injector import inject_syscall

UNIT_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "contrib",
                        "systemd")
MBOX = (b"From a@example.org Thu Dec 10 09:00:00 2026\nSubject: one\n\nfirst\n\n"
        b"From b@example.org Thu Dec 10 09:01:00 2026\nSubject: two\n\nsecond\n")


def service_settings(name):
    """The [Service] section of a unit: key -> list of values, in order."""
    settings, section = {}, None
    with open(os.path.join(UNIT_DIR, name)) as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            if line.startswith("["):
                section = line
            elif section == "[Service]":
                key, value = line.split("=", 1)
                settings.setdefault(key, []).append(value)
    return settings


@functools.lru_cache(maxsize=None)
def syscall_groups():
    """systemd's system-call groups: name -> members (calls and groups)."""
    text = subprocess.run(["systemd-analyze", "syscall-filter"], capture_output=True, text=True,
                          check=True, timeout=60).stdout
    groups, current = {}, None
    for line in text.splitlines():
        if line.startswith("@"):
            current = groups.setdefault(line.split()[0], [])
        elif current is not None and line.strip() and not line.strip().startswith("#"):
            current.append(line.strip())
    return groups


def expand_calls(items):
    calls = set()
    for item in items:
        if item.startswith("@"):
            calls |= expand_calls(syscall_groups()[item])
        else:
            calls.add(item)
    return calls


def allowed_calls(settings):
    """The calls a unit's SystemCallFilter= lines allow, as systemd reads them:
    an allow-list starts from @default; a line with ~ takes calls away."""
    allowed = None
    for line in settings.get("SystemCallFilter", []):
        deny = line.startswith("~")
        items = line.removeprefix("~").split()
        if allowed is None:
            assert not deny, "only allow-lists are modelled here"
            allowed = expand_calls(["@default"])
        allowed = allowed - expand_calls(items) if deny else allowed | expand_calls(items)
    return allowed


@functools.lru_cache(maxsize=None)
def allow_list_runner():
    out = os.path.join(os.environ.get("TMPDIR", "/tmp"), "tollmar-syscall-allow-list-%d" % os.getpid())
    src = os.path.join(os.path.dirname(os.path.abspath(__file__)), "syscall_allow_list.c")
    subprocess.run(["cc", "-O2", "-o", out, src, "-lseccomp"], check=True)
    return out


def own_namespaces(settings, writable):
    """argv prefix that runs a command in namespaces of its own as the unit's
    settings ask: a network of its own for PrivateNetwork=, and for
    ProtectSystem=strict a mount namespace where every mount is read-only but
    the kernel's file systems, the unit's ReadWritePaths, its RuntimeDirectory
    (made here, as systemd makes it) and the paths in writable."""
    flags, script = [], ["set -e"]
    if settings.get("PrivateNetwork") == ["yes"]:
        flags.append("--net")
    if settings.get("ProtectSystem") == ["strict"]:
        flags += ["--mount", "--propagation", "private"]
        runtime = ["/run/" + d for d in " ".join(settings.get("RuntimeDirectory", [])).split()]
        kept = ["/proc", "/sys", "/dev", *settings.get("ReadWritePaths", []), *runtime, *writable]
        script += ["mkdir -p -m 0755 %s; mount --bind %s %s" % (d, d, d) for d in runtime]
        script.append("for m in $(awk '{print $2}' /proc/self/mounts); do case $m in %s) ;; "
                      "*) mount -o remount,bind,ro $m;; esac; done"
                      % "|".join("%s|%s/*" % (k, k) for k in kept))
    if not flags:
        return []
    script.append('exec "$@"')
    return ["unshare", *flags, "sh", "-c", "; ".join(script), "sh"]


def command_line(name, capabilities=None, writable=(), refused=(), errno_name=None):
    """argv that runs the unit's ExecStart under its capability bounding set,
    NoNewPrivileges, system-call filter and read-only file system, with the
    paths in writable left writable (capabilities, when given, replaces the
    unit's set; the calls in refused are taken off the filter's list, and
    errno_name, when given, replaces its SystemCallErrorNumber)."""
    s = service_settings(name)
    (exec_start,) = s["ExecStart"]
    argv = exec_start.split()
    assert argv[0] == "/usr/sbin/tollmar"
    argv[0] = server_binary()
    if "SystemCallFilter" in s:
        assert s.get("SystemCallArchitectures") == ["native"]
        errno_name = errno_name or s["SystemCallErrorNumber"][0]
        families = []
        for family in " ".join(s.get("RestrictAddressFamilies", [])).split():
            families += ["-f", str(int(getattr(socket, family)))]
        argv = [allow_list_runner(), *families, str(getattr(errno, errno_name)),
                *sorted(allowed_calls(s) - set(refused)), "--", *argv]
    if capabilities is None and "CapabilityBoundingSet" in s:
        capabilities = " ".join(s["CapabilityBoundingSet"]).split()
    wrapper = []
    if capabilities is not None:
        caps = ",".join(["-all"] + ["+" + c.lower().removeprefix("cap_") for c in capabilities])
        wrapper += ["--bounding-set", caps]
    if s.get("NoNewPrivileges") == ["yes"]:
        wrapper.append("--no-new-privs")
    if wrapper:
        setpriv = shutil.which("setpriv")
        assert setpriv, "setpriv (util-linux) is needed to apply the unit's restrictions"
        argv = [setpriv, *wrapper, "--", *argv]
    return own_namespaces(s, writable) + argv


def unit_env():
    """What a unit's environment holds here: a path, and the sanitizer settings
    of the test run (a sanitized server must report into the run's folder, and
    LeakSanitizer cannot stop the world under the unit's filter)."""
    env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
        if name in os.environ:
            env[name] = os.environ[name]
    return env


ACTIVATE_LINES = ("Listening on ", "Communication attempt on fd ", "Connection from ", "Spawned ",
                  "Execing ", "Child ")


class UnitProcess:
    """The unit's server, started by this test and stopped by its pid."""

    def __init__(self, sandbox, argv, accept=False):
        self.port = free_port()
        self.accept = accept
        if accept:
            passed = [arg for name in sorted(unit_env()) if name != "PATH" for arg in ("-E", name)]
            argv = ["systemd-socket-activate", "--accept", "--inetd", *passed,
                    "-l", "127.0.0.1:%d" % self.port, *argv, "-x", sandbox.spool_tmp]
        else:
            argv = argv + ["-l", "127.0.0.1", "-p", str(self.port), "-x", sandbox.spool_tmp]
        self.err_path = os.path.join(sandbox.base, "unit.err")
        with open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=err, stderr=err,
                                         env=unit_env())
        wait_until(lambda: self.port in listening_ports() or self.proc.poll() is not None,
                   "the unit's server to listen")
        assert self.proc.poll() is None, open(self.err_path).read()
        if not accept and allow_list_runner() in argv:
            assert seccomp_mode(self.proc.pid) == "2"

    def stop(self):
        wait_until(lambda: children_of(self.proc.pid) == [], "the sessions to end")
        if self.accept:
            # The activator notes its child's end once it has reaped it, which
            # may be a moment after the child is gone from the process table.
            wait_until(lambda: re.search(r"^Child \d+ died with code", open(self.err_path).read(),
                                         re.M), "the activator to reap its child")
        self.proc.send_signal(signal.SIGTERM)
        # systemd-socket-activate ends by the signal; the server with status 0.
        assert self.proc.wait(timeout=10) == (-signal.SIGTERM if self.accept else 0)
        with open(self.err_path) as f:
            lines = f.read().splitlines()
        if self.accept:  # systemd-socket-activate's own lines, and a status 0
            assert any(re.fullmatch(r"Child \d+ died with code 0", line) for line in lines), lines
            lines = [line for line in lines if not line.startswith(ACTIVATE_LINES)]
        assert lines == []


@pytest.fixture
def unit_server(sandbox):
    started = []

    def start(argv, accept=False):
        started.append(UnitProcess(sandbox, argv, accept))
        return started[-1]

    yield start
    for u in started:
        if u.proc.poll() is None:
            u.proc.kill()
            u.proc.wait()


def install_certificate(sandbox, tls_files):
    """Puts the test certificate where -s looks by default."""
    os.makedirs("/etc/tollmar", exist_ok=True)
    cert, key = tls_files()
    for source, name, mode in ((cert, "cert.pem", 0o644), (key, "key.pem", 0o600)):
        with open(source, "rb") as f:
            sandbox.write_etc("tollmar/" + name, f.read(), mode)


@pytest.mark.parametrize("unit, tls", [("tollmar.service", False),
                                       ("tollmar-hardened.service", True),
                                       ("tollmar-inetd@.service", False)])
def test_unit_command_line_serves_mail(sandbox, log, tls_files, unit_server, unit, tls):
    install_certificate(sandbox, tls_files)
    sandbox.add_user("dora", "dora-pw")
    sandbox.write_mbox("dora", MBOX)
    srv = unit_server(command_line(unit, writable=[sandbox.spool_tmp]), accept="@" in unit)
    with Pop3Client(srv.port, tls=tls) as c:
        assert c.login("dora", "dora-pw") == ("+OK", "+OK")
        status, body = c.multi("RETR 2")
        assert status.startswith("+OK") and b"second\r\n" in body
        assert c.cmd("DELE 1") == "+OK"
        assert c.cmd("QUIT").startswith("+OK")
    # The session rewrote the maildrop as the account, with only these privileges.
    wait_until(lambda: open(sandbox.mbox_path("dora"), "rb").read() == MBOX[MBOX.index(b"From b"):],
               "the maildrop to lose its first message")
    log.wait_for("Authenticated dora", syslog.LOG_INFO)
    srv.stop()


def test_a_kernel_without_landlock_serves_the_session_as_before(sandbox, log, unit_server):
    # Landlock's calls failing with ENOSYS, as on a kernel built without it:
    # the session goes on with its system-call filter only, and says nothing.
    sandbox.add_user("dora", "dora-pw")
    sandbox.write_mbox("dora", MBOX)
    landlock = ("landlock_create_ruleset", "landlock_add_rule", "landlock_restrict_self")
    srv = unit_server(command_line("tollmar.service", writable=[sandbox.spool_tmp],
                                   refused=landlock, errno_name="ENOSYS"))
    with Pop3Client(srv.port) as c:
        assert c.login("dora", "dora-pw") == ("+OK", "+OK")
        assert c.cmd("DELE 1") == "+OK"
        assert c.cmd("QUIT").startswith("+OK")
    wait_until(lambda: open(sandbox.mbox_path("dora"), "rb").read() == MBOX[MBOX.index(b"From b"):],
               "the maildrop to lose its first message")
    log.wait_for("Connection closed", syslog.LOG_INFO)
    assert not [m for m in log.messages() if "confine" in m]
    srv.stop()


SYS_PRCTL = 157
PR_SET_PDEATHSIG = 1


def seccomp_mode(pid):
    with open("/proc/%d/status" % pid) as f:
        return next((line.split()[1] for line in f if line.startswith("Seccomp:")), None)


def test_hardened_unit_ends_a_stopped_prelogin_process_at_the_deadline(sandbox, log, tls_files,
                                                                       unit_server):
    # Code that took over a pre-login process may drop its parent-death
    # signal and never end: only root's kill at the login deadline ends it,
    # and for a process of another account that kill needs CAP_KILL.
    install_certificate(sandbox, tls_files)
    srv = unit_server(command_line("tollmar-hardened.service", writable=[sandbox.spool_tmp]) +
                      ["-A", "2"])
    with Pop3Client(srv.port, tls=True, handshake=False):
        [connection] = wait_until(lambda: children_of(srv.proc.pid), "a connection process")
        [prelogin] = wait_until(lambda: children_of(connection), "a pre-login process")
        # Once its filter is in, the jail's set-up (which sets the signal) is over.
        wait_until(lambda: seccomp_mode(prelogin) == "2", "the pre-login process in its jail")
        assert inject_syscall(prelogin, SYS_PRCTL, (PR_SET_PDEATHSIG, 0)) == 0
        os.kill(prelogin, signal.SIGSTOP)
        log.wait_for("login time exceeded (2 seconds) from 127.0.0.1", syslog.LOG_WARNING,
                     pid=connection)
        wait_until(lambda: not is_alive(prelogin), "the pre-login process to be ended")
    srv.stop()


@pytest.mark.parametrize("dropped, step", [
    ("CAP_SETUID", "setresuid"),
    ("CAP_SETGID", "setgroups"),
    ("CAP_SYS_CHROOT", "chroot"),
    ("CAP_KILL", "kill"),
])
def test_hardened_unit_needs_its_capabilities(sandbox, log, tls_files, dropped, step):
    # The pre-login jail needs every one of them: the server tries it at start
    # and refuses to serve rather than fail each connection.
    install_certificate(sandbox, tls_files)
    kept = " ".join(service_settings("tollmar-hardened.service")["CapabilityBoundingSet"]).split()
    assert dropped in kept
    argv = command_line("tollmar-hardened.service", [c for c in kept if c != dropped],
                        [sandbox.spool_tmp])
    argv += ["-l", "127.0.0.1", "-p", str(free_port()), "-x", sandbox.spool_tmp]
    p = subprocess.run(argv, capture_output=True, timeout=10,
                       env=unit_env())
    text = "failed to enter the pre-login jail: nobody: %s: Operation not permitted" % step
    assert (p.returncode, p.stdout, p.stderr) == (1, b"", text.encode() + b"\n")
    log.assert_logged(text, syslog.LOG_ERR)
