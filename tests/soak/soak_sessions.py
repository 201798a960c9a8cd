"""The soak's POP3 sessions: each a seeded plan of commands and perhaps a
fault, checked against the model as the replies arrive."""

import os
import random
import signal
import socket
import struct
import time
import traceback
import types

from soak_messages import top_lines, unstuff, wire_lines
from soak_model import NOT_IN_MAILDROP, PASSWORD, SessionFailure


class Sessions:
    """Mixed into the soak: needs the model's checks, the faults, self.args,
    self.accounts and the servers."""

    def read_listing(self, c, command):
        status, body = c.multi(command)
        if not status.startswith("+OK"):
            raise SessionFailure("%s answered %r" % (command, status))
        table = {}
        for line in body:
            fields = line.decode("latin-1").split()
            table[int(fields[0])] = int(fields[1]) if command == "LIST" else fields[1]
        return table

    def plan(self, no):
        """Session `no`'s seeded plan: the account, TLS or not, the server,
        how many commands, whether it deletes, and its fault, if any."""
        args = self.args
        rng = random.Random("%d/session/%d" % (args.seed, no))
        p = types.SimpleNamespace(rng=rng, no=no)
        p.acct = rng.choice(self.accounts)
        p.tls = rng.random() < args.tls_share
        r = rng.random()
        p.fault = None
        for name, rate in (("kill", args.kill_rate), ("vanish", args.vanish_rate),
                           ("stall", args.stall_rate), ("prelogin", args.prelogin_kill_rate)):
            if p.fault is None and r < rate:
                p.fault = name
            r -= rate
        p.deleting = rng.random() < args.delete_share
        p.ops = rng.randint(1, 10)
        p.kill_point = rng.choices(["between", "inflight", "quit-sent", "rewrite", "quit-answered"],
                                   [2, 2, 3, 3, 2])[0] if p.fault == "kill" else None
        p.fault_at = rng.randint(0, p.ops - 1)
        # Odd sessions go to the servers that serve in place.
        p.in_place = no % 2 == 1
        if p.in_place:
            p.server = self.tls_x if p.tls else self.plain_x
        else:
            p.server = self.tls if p.tls else self.plain
        return p

    def count_session(self, p):
        self.fig.add("sessions")
        if p.tls:
            self.fig.add("sessions over TLS")
        if p.in_place:
            self.fig.add("sessions served in place (-X)")

    def logged_in_pid(self, acct, no):
        """The session process after +OK to PASS, found by its dot-lock; None
        (and an anomaly) when no lock names one of our connection processes."""
        pid = self.session_pid(acct)
        if pid is None:
            # A login that judged a lock stale moves the lock aside to
            # check it and puts back one that is not the file it judged:
            # for that moment the name is missing. Wait a little.
            deadline = time.monotonic() + 2
            while pid is None and time.monotonic() < deadline:
                time.sleep(0.01)
                pid = self.session_pid(acct)
            if pid is not None:
                self.fig.add("dot-locks briefly missing after login")
        if pid is None:
            try:
                with open(acct.path + ".lock", "rb") as f:
                    held = "a lock naming %r" % f.read(32)
            except OSError as e:
                held = "no lock file (%s)" % e.strerror
            self.anomaly("no dot-lock while logged in", acct.name, no,
                         "after +OK to PASS: " + held)
        return pid

    def kill_session(self, p, c, pid):
        os.kill(pid, signal.SIGKILL)
        self.fig.add("kills injected")
        self.fig.add("kills " + p.kill_point)
        with self.lock:
            self.killed_pids.add(pid)
        c.close()
        self.note_dead(p.acct, pid)

    def mark_one_for_rewrite(self, c, p, ids, numbers, marked):
        """A rewrite to interrupt needs a deletion."""
        live = [n for n in numbers if ids[n] not in marked]
        if live:
            n = p.rng.choice(live)
            if not c.cmd("DELE %d" % n).startswith("+OK"):
                raise SessionFailure("DELE %d refused" % n)
            marked.add(ids[n])
            with self.lock:
                p.acct.pending.setdefault(p.no, set()).add(ids[n])

    def wait_for_journal(self, acct):
        """Until a journal appears (bounded: the session may have nothing to
        rewrite); busy, so that the kill lands early in the rewrite."""
        names = (acct.path + ".tollmar-journal.tmp", acct.path + ".tollmar-journal")
        deadline = time.monotonic() + 0.5
        while not any(map(os.path.exists, names)) and time.monotonic() < deadline:
            pass

    def commands(self, c, p, pid, ids, sizes, marked):
        """The session's commands with its fault among them; False when the
        fault ended the session."""
        numbers = sorted(ids)
        lost_lock = False
        for step in range(p.ops):
            at_fault = step == p.fault_at
            if p.fault == "kill" and p.kill_point == "between" and at_fault:
                self.kill_session(p, c, pid)
                return False
            if p.fault == "vanish" and at_fault and not numbers:
                p.fault = None  # nothing to read: an ordinary session
            if p.fault == "vanish" and at_fault:
                n = max(numbers, key=lambda k: sizes[k])
                c.send_line("RETR %d" % n)
                c.read_line()
                c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                c.close()
                self.fig.add("clients vanished mid-RETR")
                return False
            if p.fault == "stall" and at_fault:
                # Served in place, a session without its dot-lock has no
                # copy to send a message from and must refuse instead.
                lost_lock = self.stall(p.rng, p.acct, pid) and p.in_place
            if p.fault == "kill" and p.kill_point == "inflight" and at_fault:
                c.send_line("RETR %d" % p.rng.choice(numbers) if numbers else "LIST")
                self.kill_session(p, c, pid)
                return False
            self.operation(c, p.rng, p.acct, p.no, pid, ids, sizes, marked, p.deleting,
                           lost_lock)
        return True

    def quit(self, c, p, pid, ids, marked):
        """QUIT, perhaps killed on its way; the outcome the client saw:
        "ok", "err", or None when the session was killed."""
        if p.kill_point == "rewrite" and not marked:
            self.mark_one_for_rewrite(c, p, ids, sorted(ids), marked)
        c.send_line("QUIT")
        if p.fault == "kill" and p.kill_point == "quit-sent":
            time.sleep(p.rng.uniform(0, 0.004))  # a random moment of the rewrite
            self.kill_session(p, c, pid)
            return None
        if p.fault == "kill" and p.kill_point == "rewrite":
            self.wait_for_journal(p.acct)
            self.kill_session(p, c, pid)
            return None
        reply = c._text(c.read_line())
        outcome = "unknown"
        if reply.startswith("+OK"):
            outcome = "ok"
        elif reply.startswith("-ERR"):
            outcome = "err"
            self.fig.add("QUITs answered -ERR")
        else:
            self.anomaly("no answer to QUIT", p.acct.name, p.no, repr(reply), pid)
        if p.fault == "kill" and p.kill_point == "quit-answered":
            self.kill_session(p, c, pid)
        return outcome

    def settle(self, p, pid, marked, outcome):
        """What the session's deletions now are in the model."""
        acct = p.acct
        with self.lock:
            acct.pending.pop(p.no, None)
            if outcome == "ok":
                how = "session %s (pid %s, %s)" % (p.no, pid, {
                    "kill": "killed after the +OK to QUIT",
                    "stall": "stopped while its dot-lock expired"}.get(p.fault, "no fault"))
                acct.final_deleted.update((mid, how) for mid in marked)
                self.fig.add("messages deleted by QUIT +OK", len(marked))
            elif outcome == "unknown":
                acct.maybe_deleted |= marked

    def session(self, no):
        from pop3_client import Pop3Client

        p = self.plan(no)
        acct = p.acct
        with self.lock:
            snapshot = set(acct.delivered)
        self.count_session(p)
        marked = set()
        pid = None
        outcome = "unknown"
        c = Pop3Client(p.server.port, tls=p.tls, timeout=self.args.io_timeout)
        try:
            c.greeting()
            if p.fault == "prelogin":
                self.kill_prelogin(p.rng, acct, no, c, p.server)
                return
            c.cmd("USER " + acct.name)
            reply = c.cmd("PASS " + PASSWORD)
            if not reply.startswith("+OK"):
                if "[IN-USE]" in reply:
                    self.fig.add("logins refused: maildrop in use")
                elif "failed to scan" in reply:
                    self.fig.add("logins refused: scan failed (spool full)")
                else:
                    self.anomaly("unexpected login reply", acct.name, no, reply)
                return
            self.fig.add("sessions logged in")
            pid = self.logged_in_pid(acct, no)
            if pid is None:
                p.fault = None  # nothing to inject a fault into
            uidls = self.read_listing(c, "UIDL")
            sizes = self.read_listing(c, "LIST")
            ids = self.check_listing(acct, no, uidls, sizes, snapshot, pid)
            if not self.commands(c, p, pid, ids, sizes, marked):
                return
            outcome = self.quit(c, p, pid, ids, marked) or "unknown"
        except (OSError, EOFError, SessionFailure, ValueError, IndexError) as e:
            if p.fault in (None, "stall"):
                self.anomaly("broken session", acct.name, no, "%s: %s" % (type(e).__name__, e), pid)
        finally:
            c.close()
            self.settle(p, pid, marked, outcome)

    def operation(self, c, rng, acct, no, pid, ids, sizes, marked, deleting, lost_lock):
        numbers = sorted(ids)
        live = [n for n in numbers if ids[n] not in marked]
        what = rng.choices(["RETR", "TOP", "DELE", "RSET", "LIST", "UIDL", "STAT", "NOOP"],
                           [5, 2, 4 if deleting else 0, 1, 1, 1, 1, 1])[0]
        if what in ("RETR", "TOP", "DELE") and not live:
            what = "NOOP"
        if what == "RETR":
            n = rng.choice(live)
            status, body = c.multi("RETR %d" % n)
            if lost_lock and status == NOT_IN_MAILDROP:
                self.fig.add("RETRs and TOPs refused after the dot-lock was lost (-X)")
                return
            if not status.startswith("+OK"):
                raise SessionFailure("RETR %d answered %r" % (n, status))
            msg = acct.generated[ids[n]]
            if self.compare(acct, no, pid, "RETR", ids[n], unstuff(body), wire_lines(msg)):
                self.fig.add("messages retrieved")
                self.fig.add("bytes checked", len(msg))
        elif what == "TOP":
            n = rng.choice(live)
            k = rng.randint(0, 5)
            status, body = c.multi("TOP %d %d" % (n, k))
            if lost_lock and status == NOT_IN_MAILDROP:
                self.fig.add("RETRs and TOPs refused after the dot-lock was lost (-X)")
                return
            if not status.startswith("+OK"):
                raise SessionFailure("TOP answered %r" % status)
            if self.compare(acct, no, pid, "TOP", ids[n], unstuff(body),
                            top_lines(acct.generated[ids[n]], k)):
                self.fig.add("TOPs checked")
        elif what == "DELE":
            for n in rng.sample(live, rng.randint(1, min(3, len(live)))):
                reply = c.cmd("DELE %d" % n)
                if not reply.startswith("+OK"):
                    raise SessionFailure("DELE %d answered %r" % (n, reply))
                marked.add(ids[n])
                with self.lock:
                    acct.pending.setdefault(no, set()).add(ids[n])
        elif what == "RSET":
            if not c.cmd("RSET").startswith("+OK"):
                raise SessionFailure("RSET refused")
            marked.clear()
            with self.lock:
                acct.pending.pop(no, None)
        elif what == "LIST":
            now = self.read_listing(c, "LIST")
            expected = {n: sizes[n] for n in numbers if ids[n] not in marked}
            if {n: s for n, s in now.items() if n in ids} != expected:
                self.anomaly("LIST changed within a session", acct.name, no, "", pid)
        elif what == "UIDL":
            self.read_listing(c, "UIDL")
        elif what == "STAT":
            reply = c.cmd("STAT")
            expected = [n for n in sorted(sizes) if n not in ids or ids[n] not in marked]
            want = "+OK %d %d" % (len(expected), sum(sizes[n] for n in expected))
            if reply != want:
                self.anomaly("STAT disagrees with LIST", acct.name, no,
                             "%r, expected %r" % (reply, want), pid)
        else:
            if not c.cmd("NOOP").startswith("+OK"):
                raise SessionFailure("NOOP refused")

    def worker(self):
        while True:
            with self.lock:
                if (self.next_session >= self.args.sessions
                        or time.monotonic() - self.started > self.args.time_limit):
                    return
                no = self.next_session
                self.next_session += 1
            try:
                self.session(no)
            except Exception:
                self.anomaly("harness error", "-", no, traceback.format_exc())

    def final_session(self, acct):
        """One clean-up session: completes what killed sessions left, checks the
        listing and every message's bytes, deletes nothing."""
        from pop3_client import Pop3Client
        from pop3_server import wait_until
        no = "final"
        deadline = time.monotonic() + 60
        while True:
            c = Pop3Client(self.plain.port, timeout=self.args.io_timeout)
            c.greeting()
            c.cmd("USER " + acct.name)
            reply = c.cmd("PASS " + PASSWORD)
            if reply.startswith("+OK"):
                break
            c.close()
            if time.monotonic() > deadline:
                self.anomaly("final login refused", acct.name, no, reply)
                return
            time.sleep(0.05)  # poll until the maildrop is free
        with c:
            pid = self.session_pid(acct)
            with self.lock:
                everything = set(acct.delivered)
            uidls = self.read_listing(c, "UIDL")
            sizes = self.read_listing(c, "LIST")
            ids = self.check_listing(acct, no, uidls, sizes, everything, pid)
            for n, mid in sorted(ids.items()):
                status, body = c.multi("RETR %d" % n)
                msg = acct.generated[mid]
                if status.startswith("+OK") and self.compare(
                        acct, no, pid, "RETR", mid, unstuff(body), wire_lines(msg)):
                    self.fig.add("messages retrieved")
                    self.fig.add("bytes checked", len(msg))
            if c.cmd("QUIT") != "+OK":
                self.anomaly("final QUIT refused", acct.name, no, "", pid)
        wait_until(lambda: not os.path.exists(acct.path + ".lock"),
                   "the final session of %s to end" % acct.name, timeout=30)
