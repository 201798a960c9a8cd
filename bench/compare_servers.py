"""The servers bench/compare.py measures: tollmar (plain and TLS instances of
one configuration) and private Dovecot instances with generated
configurations, each able to say which of its processes serve a session and
when a maildrop is released."""

import os
import shutil
import subprocess
import time

from compare_base import (PASSWORD, START_LIMIT, USER, WORK, children, descendants,
                          proc_status, wait_for)
from pop3_bench import DOVECOT_COMMON, DOVECOT_LISTENERS


class Tollmar:
    def __init__(self, name, control, auth, spool, tls_files, extra=()):
        from pop3_server import free_port
        self.name = name
        self.in_place = "-X" in extra
        cert, key = tls_files
        common = ("-l", "127.0.0.1", "-x", spool, "-a", auth, *extra)
        port = free_port()
        self.plain = control.start("-p", port, *common, defaults=False, port=port)
        port = free_port()
        self.tls = control.start("-p", port, *common, "-s", "-c", cert, "-k", key,
                                 defaults=False, port=port)
        self.spool = spool

    def port(self, tls):
        return self.tls.port if tls else self.plain.port

    def session_pids(self):
        return children(self.plain.pid) + children(self.tls.pid)

    def forget_index(self, box):
        """Only serving in place (-X) keeps something between sessions: the index."""
        if self.in_place and os.path.exists(box.path + ".tollmar-index"):
            os.unlink(box.path + ".tollmar-index")

    def released(self, box):
        """True when no session runs and the dot-lock of box is gone."""
        return not os.path.exists(box.path + ".lock") and not [
            p for p in self.session_pids() if not proc_status(p).get("State", "Z").startswith(
                ("Z", "X"))]


DOVECOT_CONFIG = DOVECOT_COMMON + """\
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {users}
}}
userdb {{
  driver = passwd-file
  args = username_format=%u {users}
}}
""" + DOVECOT_LISTENERS

# Long-lived login processes that serve many connections, and processes
# started ahead of the connections that need them.
TUNED_LOGIN = "  service_count = 0\n  process_min_avail = 2\n"
TUNED_POP3 = "  process_min_avail = 2\n"


class Dovecot:
    def __init__(self, name, tuned, boxes, uid, tls_files):
        from pop3_server import free_port, listening_ports
        self.name = name
        self.base = os.path.join(WORK, name)
        shutil.rmtree(self.base, ignore_errors=True)
        for sub in ("", "run", "state"):
            os.makedirs(os.path.join(self.base, sub), 0o755, exist_ok=True)
        self.home = os.path.join("/home", USER, name)
        os.makedirs(self.home, exist_ok=True)
        os.chown(self.home, uid, uid)
        users = os.path.join(self.base, "users")
        with open(users, "w") as f:
            for box in boxes:
                f.write("%s:{PLAIN}%s:%d:%d::%s::userdb_mail=mbox:~/mail:INBOX=%s\n"
                        % (box.login, PASSWORD, uid, uid, self.home, box.path))
        os.chmod(users, 0o644)
        self.plain_port, self.tls_port = free_port(), free_port()
        config = os.path.join(self.base, "dovecot.conf")
        cert, key = tls_files
        with open(config, "w") as f:
            f.write(DOVECOT_CONFIG.format(
                base=self.base, cert=cert, key=key, users=users, plain_port=self.plain_port,
                tls_port=self.tls_port, login_extra=TUNED_LOGIN if tuned else "",
                pop3_extra=TUNED_POP3 if tuned else ""))
        self.err = os.path.join(self.base, "stderr")
        with open(self.err, "wb") as err:
            self.proc = subprocess.Popen(["dovecot", "-F", "-c", config],
                                         stdin=subprocess.DEVNULL, stdout=err, stderr=err)
        deadline = time.monotonic() + START_LIMIT
        while not {self.plain_port, self.tls_port} <= listening_ports():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("%s did not start: %s" % (name, self.log()))
            time.sleep(0.02)
        if tuned:
            # The pre-started processes are part of the tuning: wait for them.
            wait_for(lambda: len(self.pop3_pids()) >= 2, name + " pop3 processes", START_LIMIT,
                     0.02)

    def log(self):
        text = ""
        for path in (self.err, os.path.join(self.base, "dovecot.log")):
            try:
                with open(path, errors="replace") as f:
                    text += f.read()[-2000:]
            except FileNotFoundError:
                pass
        return text

    def port(self, tls):
        return self.tls_port if tls else self.plain_port

    def pop3_pids(self):
        out = []
        for pid in descendants(self.proc.pid):
            try:
                if os.readlink("/proc/%d/exe" % pid).endswith("/pop3"):
                    out.append(pid)
            except OSError:
                continue
        return out

    def session_pids(self):
        """pop3 processes serving a user (idle pre-started ones still run as root)."""
        return [p for p in self.pop3_pids()
                if proc_status(p).get("Uid", "0").split()[0] != "0"]

    def forget_index(self, box):
        shutil.rmtree(os.path.join(self.home, "mail"), ignore_errors=True)

    def released(self, box):
        return not os.path.exists(box.path + ".lock") and not self.session_pids()

    def stop(self):
        from pop3_server import stop_process
        stop_process(self.proc, 20)
