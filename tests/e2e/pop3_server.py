"""Starting, watching and stopping the real server binary ($TOLLMAR_BIN).

Every process is started by the test itself, and only processes the test
started are ever signalled.  The pytest process is a child subreaper (set up
in conftest.py), so a daemonized listener and orphaned connection processes
are re-parented to it: their exit statuses can be collected, and nothing
outlives the test.
"""

import os
import signal
import socket
import subprocess
import time

from pop3_client import Pop3Client

DEFAULT_WAIT = 10.0  # seconds; a limit for waiting, never an assertion


def server_binary():
    path = os.environ.get("TOLLMAR_BIN")
    if not path or not os.access(path, os.X_OK):
        raise RuntimeError("TOLLMAR_BIN must name the built tollmar binary (got %r)" % path)
    return os.path.abspath(path)


def free_port():
    """A loopback TCP port that is free right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening_ports():
    """Local ports of TCP sockets in LISTEN state in this network namespace."""
    ports = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for row in f:
                    fields = row.split()
                    if fields[3] == "0A":
                        ports.add(int(fields[1].rsplit(":", 1)[1], 16))
        except FileNotFoundError:
            pass
    return ports


def wait_until(predicate, what, timeout=DEFAULT_WAIT):
    """Polls predicate until it is true; raises AssertionError naming `what` after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


def parent_pid(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return int(f.read().rsplit(")", 1)[1].split()[1])
    except (FileNotFoundError, ProcessLookupError, IndexError, ValueError):
        return None


def process_state(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError):
        return None


def children_of(pid):
    """PIDs of the live (not zombie) children of pid."""
    kids = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            child = int(name)
            if parent_pid(child) == pid and process_state(child) not in (None, "Z"):
                kids.append(child)
    return sorted(kids)


def is_alive(pid):
    return process_state(pid) not in (None, "Z")


class Result:
    """The outcome of running the binary as a plain command."""

    def __init__(self, status, stdout, stderr):
        self.status = status
        self.stdout = stdout
        self.stderr = stderr

    def __repr__(self):
        return "Result(status=%r, stdout=%r, stderr=%r)" % (self.status, self.stdout, self.stderr)


class Server:
    """A running server started by :class:`ServerControl`.

    ``pid`` is the listening process, ``port`` its port, ``args`` the full
    argument list.  ``proc`` is the Popen object in foreground mode (None in
    daemon mode, where the listener is a re-parented orphan).
    """

    def __init__(self, control, args, port, tls, proc, pid, stderr_path, pid_file):
        self.control = control
        self.args = args
        self.port = port
        self.tls = tls
        self.proc = proc
        self.pid = pid
        self.stderr_path = stderr_path
        self.pid_file = pid_file
        self.status = None

    def connect(self, **kwargs):
        """A Pop3Client connected to this server (TLS when the server was started with tls)."""
        kwargs.setdefault("tls", self.tls)
        return Pop3Client(self.port, **kwargs)

    def stderr(self):
        """What the server wrote to standard error so far (bytes)."""
        with open(self.stderr_path, "rb") as f:
            return f.read()

    def connection_pids(self):
        """PIDs of the connection processes the listener has running now."""
        return children_of(self.pid)

    def wait_sessions_ended(self, keep=(), timeout=DEFAULT_WAIT):
        """Waits until every connection process except those in `keep` has ended.

        A process closes its connection before it exits (at-exit clean-up
        still runs after the client saw the end), so checks of processes,
        files and log lines after a session wait here first.
        """
        wait_until(lambda: not set(self.connection_pids()) - set(keep),
                   "the connection processes of port %d to end" % self.port, timeout)

    def signal(self, sig):
        if self.status is None:
            os.kill(self.pid, sig)

    def wait(self, timeout=DEFAULT_WAIT):
        """Waits for the listener to end and returns its exit status (-N for signal N)."""
        if self.status is None:
            self.status = self.control.wait_pid(self.pid, self.proc, timeout)
        return self.status

    def stop(self, timeout=DEFAULT_WAIT):
        """SIGTERM to the listener, then its exit status."""
        self.signal(signal.SIGTERM)
        return self.wait(timeout)


class ServerControl:
    """Starts the binary for one test and cleans up after it (the ``server`` fixture).

    ``start`` runs a listening server; ``run`` runs the binary as a command
    and returns a :class:`Result`.  Default options: -p PORT -l 127.0.0.1
    -x SPOOL_TMP, plus -s -c CERT -k KEY when ``tls=True``.
    """

    def __init__(self, sandbox, tls_files=None):
        self.sandbox = sandbox
        self.tls_files = tls_files
        self.binary = server_binary()
        self.servers = []
        self._count = 0

    def default_args(self, port, tls, address="127.0.0.1"):
        args = ["-p", str(port)]
        if address is not None:
            args += ["-l", address]
        args += ["-x", self.sandbox.spool_tmp]
        if tls:
            cert, key = self.tls_files()
            args += ["-s", "-c", cert, "-k", key]
        return args

    def _env(self, env):
        """A minimal environment (plus sanitizer settings of the test run) and `env`."""
        full = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if name in os.environ:
                full[name] = os.environ[name]
        if env:
            full.update(env)
        return full

    def run(self, *args, argv0=None, env=None, timeout=DEFAULT_WAIT):
        """Runs the binary with exactly these arguments; returns Result(status, stdout, stderr)."""
        argv = [argv0 or self.binary] + [str(a) for a in args]
        p = subprocess.run(argv, executable=self.binary, capture_output=True,
                           env=self._env(env), timeout=timeout)
        return Result(p.returncode, p.stdout, p.stderr)

    def start(self, *extra, tls=False, defaults=True, port=None, address="127.0.0.1",
              daemon=False, pid_file=None, env=None, wait_listening=True, argv0=None):
        """Starts a server and waits until it listens; returns a :class:`Server`.

        ``extra`` options follow the defaults: -p PORT (``port``, else a
        free one), -l ``address`` (none when None), -x SPOOL_TMP.
        ``defaults=False`` passes only ``extra`` (give ``port`` to say which
        port to wait for).  With ``daemon=True``, -d and -f PID_FILE are added, the
        command must return status 0, and the listener's pid is read from
        the pid file.  With ``wait_listening=False`` the call returns at once
        (for servers that are expected to fail; use ``Server.wait``).
        """
        self._count += 1
        port = port if port is not None else free_port()
        args = self.default_args(port, tls, address) if defaults else []
        if daemon:
            pid_file = pid_file or os.path.join(self.sandbox.run_dir, "tollmar.pid")
            args += ["-d", "-f", pid_file]
        args += [str(a) for a in extra]
        stderr_path = os.path.join(self.sandbox.base, "server-%d.err" % self._count)
        with open(stderr_path, "wb") as err:
            proc = subprocess.Popen([argv0 or self.binary] + args, executable=self.binary,
                                    stdin=subprocess.DEVNULL, stdout=err, stderr=err,
                                    env=self._env(env))
        server = Server(self, args, port, tls, proc, proc.pid, stderr_path, pid_file)
        self.servers.append(server)
        if daemon:
            status = proc.wait(timeout=DEFAULT_WAIT)
            assert status == 0, "tollmar -d returned %d: %r" % (status, server.stderr())
            server.proc = None
            text = wait_until(lambda: _read_text(pid_file), "the pid file " + pid_file)
            server.pid = int(text)
        if wait_listening:
            wait_until(lambda: port in listening_ports() or not is_alive(server.pid),
                       "the server to listen on port %d" % port)
            assert is_alive(server.pid), "server ended at start-up: %r" % server.stderr()
        return server

    def wait_pid(self, pid, proc, timeout):
        """Exit status of a process we started (Popen) or that was re-parented to us."""
        if proc is not None:
            try:
                return proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                raise AssertionError("process %d did not end" % pid)
        deadline = time.monotonic() + timeout
        while True:
            try:
                got, status = os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                raise AssertionError("process %d is not a child of the test" % pid)
            if got == pid:
                return os.waitstatus_to_exitcode(status)
            if time.monotonic() > deadline:
                raise AssertionError("process %d did not end" % pid)
            time.sleep(0.02)

    def close(self):
        """Stops every server still running and ends every process re-parented to the test."""
        problems = []
        for server in self.servers:
            if server.status is None and is_alive(server.pid):
                try:
                    server.stop()
                except AssertionError as e:
                    problems.append(str(e))
                    os.kill(server.pid, signal.SIGKILL)
                    server.wait()
            elif server.status is None and server.proc is not None:
                server.proc.wait()
        reap_orphans(self.binary)
        if problems:
            raise AssertionError("; ".join(problems))


def stop_process(proc, timeout):
    """Ends a helper the test started (subprocess.Popen): SIGTERM, then
    SIGKILL when it has not ended within timeout seconds."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def reap_orphans(binary):
    """Ends the server processes re-parented to the test process (left-over
    connection processes, detached listeners) and collects every orphan."""
    me = os.getpid()
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        pid = int(name)
        if parent_pid(pid) != me or pid == me:
            continue
        if is_alive(pid):
            try:
                exe = os.readlink("/proc/%d/exe" % pid)
            except OSError:
                continue
            if exe != binary:
                continue  # not a server process (e.g. a helper the test still runs)
            os.kill(pid, signal.SIGKILL)
        try:
            os.waitpid(pid, 0)
        except ChildProcessError:
            pass


def _read_text(path):
    try:
        with open(path) as f:
            return f.read()
    except (FileNotFoundError, PermissionError):
        return None
