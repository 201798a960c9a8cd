"""The stage of one bench/compare.py run: the sandbox of the end-to-end tests
with the bench account, the maildrops on disk, the auth file and certificate,
the tollmar instances and the two Dovecot instances; and all of it undone at
the end."""

import os
import shutil
import subprocess

from compare_base import KIB, MIB, PASSWORD, USER, WORK
from compare_maildrops import Box
from compare_servers import Dovecot, Tollmar

# The folders below build-compare/ a run leaves behind (data only with --keep-data).
RUN_FOLDERS = ("mail", "home", "spool-disk", "spool-fresh", "spool-used", "dovecot-stock",
               "dovecot-tuned")


class Rig:
    """Everything a run measures on; use as a context manager.

    size: the run's sizes (compare_maildrops.sizes); only: the groups whose
    maildrops are made now (None: all); keep_data: keep the generated masters.
    """

    def __init__(self, size, only, keep_data):
        from pop3_server import server_binary
        self.size, self.only, self.keep_data = size, only, keep_data
        self.binary = server_binary()
        self.sandbox = None
        self.control = None
        self.dovecots = []

    def __enter__(self):
        from pop3_sandbox import Sandbox
        self.sandbox = Sandbox()
        try:
            self._stage()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _stage(self):
        self._folders()
        acct = self.sandbox.add_user(USER, PASSWORD)
        self.sandbox.add_user("dovecot", "", uid=901, make_home=False, hashed="!")
        self.sandbox.add_user("dovenull", "", uid=902, make_home=False, hashed="!")
        self._maildrops(acct.uid)
        self.auth = self._auth_file()
        self.tls_files = self._certificate()
        self._servers(acct.uid)

    def _folders(self):
        from pop3_sandbox import MAIL_GID
        for sub in ("mail", "home", "spool-disk", "data"):
            os.makedirs(os.path.join(WORK, sub), exist_ok=True)
        os.chmod(os.path.join(WORK, "mail"), 0o2775)
        os.chown(os.path.join(WORK, "mail"), 0, MAIL_GID)
        os.chmod(os.path.join(WORK, "spool-disk"), 0o1777)
        self.sandbox.bind(os.path.join(WORK, "mail"), "/var/mail")
        self.sandbox.bind(os.path.join(WORK, "home"), "/home")
        self.spool_tmpfs = self.sandbox.tmpfs(self.sandbox.folder("spool-big"), 0o1777,
                                              size="3g")
        self.spool_disk = os.path.join(WORK, "spool-disk")

    def _maildrops(self, uid):
        size = self.size
        self.boxes = {}
        groups = {}  # login -> the scenario group its maildrop serves

        def box(login, count, msg_size, group):
            self.boxes[login] = Box(login, count, msg_size, uid)
            groups[login] = group
            return self.boxes[login]

        self.login_boxes = [box("login1", 10, 2 * KIB, "logins"),
                            box("login2", 10, 2 * KIB, "logins")]
        self.retr_boxes = [(box("r10k", 1000, 10 * KIB, "retr"), "1000 × 10 KiB"),
                           (box("r50k", 100, 50 * KIB, "retr"), "100 × 50 KiB"),
                           (box("r10m", 1, 10 * MIB, "retr"), "one 10 MiB")]
        self.stat_boxes = [(box("s" + label.replace(" ", "").lower(), n, s, "stat"), label)
                           for label, n, s in size["stat"]]
        self.list_boxes = [(box("l" + label.replace("^", ""), n, None, "list"), label)
                           for label, n in size["list"]]
        self.quit_label, qn, qs = size["quit"]
        self.quit_box = box("quit", qn, qs, "quit")
        self.history_label, hn = size["history"]
        self.history_box = box("h" + self.history_label.replace("^", ""), hn, None, "history")
        print("generating maildrops ...", flush=True)
        for login, b in self.boxes.items():
            # Only what the chosen groups use: the largest maildrops take
            # minutes to generate.
            if self.only is None or groups[login] in self.only:
                b.install()

    def _auth_file(self):
        auth = os.path.join(self.sandbox.files_dir, "auth")
        with open(auth, "w") as f:
            for b in self.boxes.values():
                f.write("%s:%s:%s:%s\n" % (b.login, PASSWORD, USER, b.path))
        os.chmod(auth, 0o644)
        return auth

    def _certificate(self):
        cert, key = os.path.join(self.sandbox.files_dir, "cert.pem"), os.path.join(
            self.sandbox.files_dir, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        key, "-out", cert, "-days", "2", "-subj", "/CN=localhost"],
                       check=True, capture_output=True)
        return cert, key

    def _servers(self, uid):
        from pop3_server import ServerControl
        tls_files = self.tls_files
        self.control = ServerControl(self.sandbox, lambda: tls_files)
        self.tollmar = Tollmar("tollmar", self.control, self.auth, self.spool_disk, tls_files)
        self.tollmar_tmpfs = Tollmar("tollmar-tmpfs", self.control, self.auth, self.spool_tmpfs,
                                     tls_files)
        self.tollmar_x = Tollmar("tollmar-X", self.control, self.auth, self.spool_disk,
                                 tls_files, ("-X",))
        for name, tuned in (("dovecot-stock", False), ("dovecot-tuned", True)):
            self.dovecots.append(Dovecot(name, tuned, list(self.boxes.values()), uid,
                                         tls_files))
        # The three columns of the table; the other tollmar instances stand
        # in for the first column in rows of their own.
        self.servers = [self.tollmar] + self.dovecots
        self.dovecot_version = subprocess.run(["dovecot", "--version"], capture_output=True,
                                              text=True).stdout.strip()

    def __exit__(self, *_):
        from pop3_bench import collect_reparented
        from pop3_server import reap_orphans
        for d in self.dovecots:
            d.stop()
        if self.control is not None:
            self.control.close()
        reap_orphans(self.binary)
        collect_reparented()
        if self.sandbox is not None:
            self.sandbox.close()
        for sub in RUN_FOLDERS:
            shutil.rmtree(os.path.join(WORK, sub), ignore_errors=True)
        if not self.keep_data:
            shutil.rmtree(os.path.join(WORK, "data"), ignore_errors=True)
        return False
