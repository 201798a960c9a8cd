"""The faults the soak injects: kills of sessions and of pre-login processes,
stopped sessions whose dot-lock expires, and a spool folder filled up."""

import os
import random
import signal
import time

from soak_model import PASSWORD


class Faults:
    """Mixed into the soak: needs self.sandbox, self.listeners, self.fig,
    self.stop_ballast, self.args and anomaly()."""

    def ballast(self):
        rng = random.Random("%d/ballast" % self.args.seed)
        path = os.path.join(self.sandbox.spool_tmp, "soak-ballast")
        while not self.stop_ballast.wait(rng.uniform(2, 6)):
            st = os.statvfs(self.sandbox.spool_tmp)
            free = st.f_bavail * st.f_frsize
            try:
                with open(path, "wb") as f:
                    block = b"\0" * (1 << 20)
                    while free > 0:
                        try:
                            free -= f.write(block[:max(4096, min(len(block), free))])
                            f.flush()
                        except OSError:
                            break
            except OSError:
                pass
            self.fig.add("spool folder filled")
            self.stop_ballast.wait(rng.uniform(0.3, 2.0))
            os.unlink(path)

    def session_pid(self, acct):
        """The connection process holding acct's dot-lock (one of our listeners' children)."""
        from pop3_server import parent_pid
        try:
            with open(acct.path + ".lock", "rb") as f:
                pid = int(f.read(32))
        except (OSError, ValueError):
            return None
        return pid if parent_pid(pid) in self.listeners else None

    def note_dead(self, acct, pid):
        """After a SIGKILL: waits for the process to be gone and counts what it
        left for the server to clear (nothing is removed here)."""
        from pop3_server import is_alive, wait_until
        wait_until(lambda: not is_alive(pid), "killed process %d to end" % pid, timeout=30)
        # What the kill interrupted: a journal under its final name is for the
        # next session to complete, a temporary one for it to discard.
        for suffix, what in ((".tollmar-journal", "kills that left a journal"),
                             (".tollmar-journal.tmp", "kills that left a temporary journal")):
            if os.path.exists(acct.path + suffix):
                self.fig.add(what)
        try:
            with open(acct.path + ".lock", "rb") as f:
                if f.read(32) == str(pid).encode():
                    self.fig.add("kills that left a dot-lock")
        except FileNotFoundError:
            pass
        # The session's folder, unless the listener has cleared it already.
        prefix = ".tollmar_%d_" % pid
        left = sum(name.startswith(prefix) for _, _, names in os.walk(self.sandbox.spool_tmp)
                   for name in names)
        self.fig.add("spool files left by kills", left)

    def prelogin_pid(self, c, port):
        """The pre-login process of the client connection c (server side of the
        socket, held by a grandchild of a listener), or None."""
        from pop3_server import children_of, parent_pid
        local = c.sock.getsockname()[1]
        inodes = set()
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            try:
                with open(table) as f:
                    rows = f.read().splitlines()[1:]
            except OSError:
                continue
            for row in rows:
                fields = row.split()
                if (int(fields[1].rsplit(":", 1)[1], 16) == port
                        and int(fields[2].rsplit(":", 1)[1], 16) == local):
                    inodes.add("socket:[%s]" % fields[9])
        for listener in self.listeners:
            for conn in children_of(listener):
                for pid in children_of(conn):
                    try:
                        fds = os.listdir("/proc/%d/fd" % pid)
                        if any(os.readlink("/proc/%d/fd/%s" % (pid, fd)) in inodes
                               for fd in fds):
                            return pid if parent_pid(pid) == conn else None
                    except OSError:
                        continue
        return None

    def kill_prelogin(self, rng, acct, no, c, server):
        """Kills the connection's pre-login process after the greeting, after
        USER or right after PASS was sent: the client must see the connection
        end (or a refusal), never a session."""
        from pop3_server import is_alive, wait_until
        moment = rng.choice(["greeting", "user", "pass-sent"])
        if moment != "greeting":
            c.cmd("USER " + acct.name)
        pid = self.prelogin_pid(c, server.port)
        if pid is None:
            self.anomaly("no pre-login process found", acct.name, no, "at " + moment)
            return
        if moment == "pass-sent":
            c.send_line("PASS " + PASSWORD)
        os.kill(pid, signal.SIGKILL)
        wait_until(lambda: not is_alive(pid), "pre-login process %d to end" % pid, timeout=30)
        self.fig.add("pre-login processes killed")
        try:
            while True:
                line = c.read_line()
                if not line:
                    break
                if moment == "pass-sent" and c._text(line).startswith("+OK"):
                    # The login went through before the kill: a normal session
                    # that the client leaves without QUIT.
                    self.fig.add("  logins done before the pre-login kill")
                    break
        except (OSError, EOFError, ValueError):
            pass

    def stall(self, rng, acct, pid):
        """A session that stops long enough for its dot-lock to count as stale
        (a suspended process, a clock step): SIGSTOP, the lock removed as the
        600-second rule would, other sessions and agents go on, SIGCONT. The
        session then carries on; a sound server refuses to rewrite without its
        lock."""
        from pop3_server import process_state, wait_until
        os.kill(pid, signal.SIGSTOP)
        wait_until(lambda: process_state(pid) in ("T", "t", None), "process %d to stop" % pid)
        robbed = False
        try:
            with open(acct.path + ".lock", "rb") as f:
                if f.read(32) == str(pid).encode():
                    os.unlink(acct.path + ".lock")
                    self.fig.add("dot-locks expired under a stopped session")
                    robbed = True
        except FileNotFoundError:
            pass
        self.fig.add("sessions stopped")
        time.sleep(rng.uniform(0.2, 1.0))  # how long the session stays stopped
        os.kill(pid, signal.SIGCONT)
        return robbed
