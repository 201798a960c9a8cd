"""Two POP3 hosts over one shared mail store, on one machine.

The shared store is a folder of the sandbox; bindfs mounts it three times
(``bindfs --enable-lock-forwarding --multithreaded``): once as each host's
mail folder and once for the delivery agent. Like NFS clients, each mount has
its own device number while inode numbers are shared, fcntl and flock locks
of files are forwarded to the folder below (and so exclude each other across
mounts), a flock of a folder is not, and attributes are cached for about a
second unless ``cache=False`` (``attr_timeout=0,entry_timeout=0``).

Each host is one server in namespaces of its own: mount (its bindfs mount on
/var/mail, its own /run, spool folder and boot id over
/proc/sys/kernel/random/boot_id), UTS (its host name), PID (the server is
its init, so killing it kills the whole host at once) and network (a veth
pair to the rig's network, host N at 10.36.N.2). The test process moves into
the rig's own network namespace for the rig's life, where HAProxy listens on
loopback in front of both hosts (see haproxy_front.py) and clients connect
from 127.0.0.2.

Everything is bounded: every wait has a deadline, every process is ended by
its PID, every mount is undone in ``close``.
"""

import ctypes
import os
import re
import signal
import stat
import subprocess
import uuid

from haproxy_front import Haproxy
from pop3_client import Pop3Client
from pop3_sandbox import MAIL_GID, run
from pop3_server import children_of, wait_until

CLIENT = "127.0.0.2"
HOSTS = ("a", "b")
CLONE_NEWNET = 0x40000000
WAIT = 15.0  # seconds; a limit for waiting only

_libc = ctypes.CDLL(None, use_errno=True)

# Run as the host's init by unshare: its own name, loopback and veth end,
# mounts, then the server itself (exec: the server is the namespace's init).
HOST_SCRIPT = r"""
set -e
hostname "$HOST_NAME"
mount --bind "$HOST_BOOT_ID" /proc/sys/kernel/random/boot_id
mount --bind "$HOST_MAIL" /var/mail
mount -t tmpfs -o mode=755,size=1m tmpfs /run
mount -t tmpfs -o mode=1777,size=16m tmpfs "$HOST_SPOOL"
ip link set lo up
tries=0
until ip link show eth0 >/dev/null 2>&1; do
    tries=$((tries + 1)); [ "$tries" -lt 300 ] || exit 3
    sleep 0.02
done
ip addr add "$HOST_ADDRESS/24" dev eth0
ip link set eth0 up
exec "$@"
"""


def mounted(path):
    with open("/proc/self/mountinfo") as f:
        return any(line.split()[4] == path for line in f)


def listening_in(pid, port):
    """True when a TCP socket listens on port in the network namespace of pid."""
    try:
        with open("/proc/%d/net/tcp" % pid) as f:
            next(f)
            return any(row.split()[3] == "0A" and int(row.split()[1].rsplit(":", 1)[1], 16) == port
                       for row in f)
    except (FileNotFoundError, ProcessLookupError, StopIteration):
        return False


class Host:
    """One host: ``name``, ``address``, ``mail`` (its mount of the store),
    ``init`` (the server's PID as the test sees it), ``front`` (the HAProxy
    port that reaches only this host)."""

    def __init__(self, rig, index, name):
        self.rig = rig
        self.name = name
        self.index = index
        self.address = "10.36.%d.2" % index
        self.gateway = "10.36.%d.1" % index
        self.mail = rig.mount("host-" + name)
        self.boot_id = os.path.join(rig.sandbox.base, "boot-id-" + name)
        with open(self.boot_id, "w") as f:
            f.write(str(uuid.uuid4()) + "\n")
        self.proc = None
        self.init = None
        self.front = None
        self.veth = "h36" + name

    def start(self, *extra):
        """Starts the host's server: -p 110 on its address, trusting only the
        balancer's address on its link as a proxy."""
        sandbox = self.rig.sandbox
        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOST_NAME": "host-" + self.name,
               "HOST_BOOT_ID": self.boot_id, "HOST_MAIL": self.mail,
               "HOST_SPOOL": sandbox.spool_tmp, "HOST_ADDRESS": self.address}
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if name in os.environ:
                env[name] = os.environ[name]
        argv = [self.rig.binary, "-p", "110", "-l", self.address, "-x", sandbox.spool_tmp,
                "-r", self.gateway, *[str(a) for a in extra]]
        self.err_path = os.path.join(sandbox.base, "host-%s.err" % self.name)
        with open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(
                ["unshare", "--uts", "--pid", "--net", "--mount", "--propagation", "private",
                 "--fork", "--mount-proc", "sh", "-c", HOST_SCRIPT, "host", *argv],
                stdin=subprocess.DEVNULL, stdout=err, stderr=err, env=env)
        self.init = wait_until(lambda: (children_of(self.proc.pid) or [None])[0]
                               or self.proc.poll() is not None, "host %s's init" % self.name)
        assert self.proc.poll() is None, self.stderr()
        run("ip", "link", "add", self.veth, "type", "veth", "peer", "name", "eth0",
            "netns", str(self.init))
        run("ip", "addr", "add", self.gateway + "/24", "dev", self.veth)
        run("ip", "link", "set", self.veth, "up")
        wait_until(lambda: listening_in(self.init, 110) or self.proc.poll() is not None,
                   "host %s to listen" % self.name, WAIT)
        assert self.proc.poll() is None, self.stderr()
        return self

    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read()

    def sessions(self):
        """PIDs (as the test sees them) of the host's connection processes."""
        return children_of(self.init) if self.running() else []

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def wait_sessions_ended(self, timeout=WAIT):
        wait_until(lambda: not self.sessions(), "host %s's sessions to end" % self.name,
                   timeout)

    def kill(self):
        """The whole host at once: SIGKILL to its init ends every process of
        its PID namespace."""
        if self.running():
            os.kill(self.init, signal.SIGKILL)
            self.proc.wait(timeout=WAIT)
        if self.veth_exists():
            run("ip", "link", "del", self.veth, check=False)

    def veth_exists(self):
        return os.path.exists("/sys/class/net/" + self.veth)

    def stop(self):
        """SIGTERM to the server; the host (namespaces) ends with it."""
        if self.running():
            os.kill(self.init, signal.SIGTERM)
            try:
                self.proc.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                os.kill(self.init, signal.SIGKILL)
                self.proc.wait(timeout=WAIT)
        if self.veth_exists():
            run("ip", "link", "del", self.veth, check=False)

    def connect(self, **kwargs):
        """A client reaching this host only (through its own HAProxy front)."""
        return Pop3Client(self.front, source=CLIENT, **kwargs)


class Rig:
    """The store, its three mounts, two hosts and HAProxy; see the module text.

    ``store`` is the shared folder itself (what the NFS server would hold),
    ``agent_mail`` the delivery agent's mount of it; ``hosts["a"]`` and
    ``hosts["b"]`` the hosts; ``front`` the balanced HAProxy port."""

    def __init__(self, sandbox, binary, cache=True):
        self.sandbox = sandbox
        self.binary = binary
        self.cache = cache
        self.bindfs = []  # (process, mount point)
        self.proxy = None
        self.hosts = {}
        self.net_fd = None
        self.deliveries = []
        self.store = os.path.join(sandbox.base, "store")
        os.mkdir(self.store)
        os.chown(self.store, 0, MAIL_GID)
        os.chmod(self.store, 0o2775)
        try:
            # The sandbox's /dev has only the usual few nodes.
            if not os.path.exists("/dev/fuse"):
                os.mknod("/dev/fuse", stat.S_IFCHR | 0o666, os.makedev(10, 229))
            self.agent_mail = self.mount("agent")
            for index, name in enumerate(HOSTS, start=1):
                self.hosts[name] = Host(self, index, name)
            self._enter_network()
        except BaseException:
            self.close()
            raise

    def mount(self, name):
        """A new bindfs mount of the store; its path."""
        target = os.path.join(self.sandbox.base, "mnt-" + name)
        os.mkdir(target)
        options = "allow_other" + ("" if self.cache else ",attr_timeout=0,entry_timeout=0")
        proc = subprocess.Popen(["bindfs", "-f", "--enable-lock-forwarding", "--multithreaded",
                                 "-o", options, self.store, target],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)
        self.bindfs.append((proc, target))
        wait_until(lambda: mounted(target) or proc.poll() is not None, "bindfs on " + target)
        assert proc.poll() is None, proc.stderr.read()
        return target

    def _enter_network(self):
        """Moves the test process into a network namespace of its own (undone
        in close): the hosts' links and HAProxy's ports live there."""
        self.net_fd = os.open("/proc/self/ns/net", os.O_RDONLY)
        if _libc.unshare(CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "unshare(CLONE_NEWNET)")
        run("ip", "link", "set", "lo", "up")

    def start(self, *extra):
        """Starts both hosts and HAProxy in front."""
        for host in self.hosts.values():
            host.start(*extra)
        a, b = ("%s:110" % self.hosts[n].address for n in HOSTS)
        self.proxy = Haproxy(self.sandbox, a, b, False, singles=True)
        for name in HOSTS:
            self.hosts[name].front = self.proxy.front_of[name]
        self.front = self.proxy.front_v2
        return self

    def connect(self, **kwargs):
        """A client through the balanced front (round robin over the hosts)."""
        return Pop3Client(self.front, source=CLIENT, **kwargs)

    def host_of(self, client_port, log, since=0):
        """The name of the host that served the session of this client port."""
        line = log.wait_for(re.compile(r"^Client %s:%d via proxy " % (re.escape(CLIENT),
                                                                       client_port)),
                            since=since)
        gateway = line.message.rsplit(" ", 1)[1].rsplit(":", 1)[0]
        return next(h.name for h in self.hosts.values() if h.gateway == gateway)

    def start_delivery(self, user, message):
        """procmail -d user, in a mount namespace where /var/mail is the agent's
        mount of the store: it takes the dot-lock and an fcntl lock there, as
        a delivery agent on a third host would. Its Popen (the message is
        written to it; wait with finish_delivery)."""
        p = subprocess.Popen(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                              'mount --bind "$1" /var/mail && exec procmail -d "$2"', "agent",
                              self.agent_mail, user],
                             stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL,
                             env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"})
        p.stdin.write(message)
        p.stdin.close()
        self.deliveries.append(p)
        return p

    def finish_delivery(self, p, timeout=60):
        """The exit status of a delivery (procmail waits for a held dot-lock,
        polling every 8 seconds)."""
        try:
            return p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
            raise AssertionError("procmail did not finish within %d s" % timeout)

    def deliver(self, user, message, timeout=60):
        return self.finish_delivery(self.start_delivery(user, message), timeout)

    def close(self):
        errors = []
        for p in self.deliveries:
            if p.poll() is None:
                p.kill()
                p.wait()
        if self.proxy is not None:
            self.proxy.stop()
        for host in self.hosts.values():
            try:
                host.stop()
            except (AssertionError, subprocess.TimeoutExpired) as e:
                errors.append("host %s: %s" % (host.name, e))
        if self.net_fd is not None:
            if _libc.setns(self.net_fd, CLONE_NEWNET) != 0:
                errors.append("setns back: errno %d" % ctypes.get_errno())
            os.close(self.net_fd)
            self.net_fd = None
        for proc, target in reversed(self.bindfs):
            r = run("umount", target, check=False)
            if r.returncode != 0:
                r = run("umount", "--lazy", target, check=False)
            try:
                proc.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                errors.append("bindfs on %s did not end" % target)
        self.bindfs = []
        if errors:
            raise AssertionError("; ".join(errors))
