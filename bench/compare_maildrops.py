"""The maildrops of bench/compare.py: the sizes of a run, the generated mbox
files, and their live copies in /var/mail."""

import os
import subprocess

from compare_base import GIB, KIB, MIB, WORK


# -- sizes -------------------------------------------------------------------------


def sizes(form):
    """The work of one run (form: short, medium, full): maildrops and loop counts."""
    if form == "short":
        return {
            "stat": [("1 MiB", 100, 10 * KIB)],
            "list": [("10^4", 10 ** 4)],
            "quit": ("10 MiB", 1024, 10 * KIB),
            "logins": 40,
            "login_limit": 8.0,
            "history": ("10^4", 10 ** 4),
            "throughput_bytes": 256 * MIB,
        }
    stat = [("1 MiB", 100, 10 * KIB), ("100 MiB", 10240, 10 * KIB)]
    lists = [("10^4", 10 ** 4), ("10^5", 10 ** 5)]
    if form == "medium":
        return {"stat": stat, "list": lists, "quit": ("100 MiB", 10240, 10 * KIB),
                "logins": 100, "login_limit": 15.0, "history": ("10^5", 10 ** 5),
                "throughput_bytes": 512 * MIB}
    return {
        "stat": stat + [("1 GiB", 104857, 10 * KIB)],
        "list": lists + [("10^6", 10 ** 6)],
        "quit": ("1 GiB", 104857, 10 * KIB),
        "logins": 200,
        "login_limit": 20.0,
        "history": ("10^5", 10 ** 5),
        "throughput_bytes": 1 * GIB,
    }


# -- maildrops -------------------------------------------------------------------------


def message(i, size):
    """Message i of about size bytes (From_ line included), 76-character body lines."""
    head = (b"From sender@example.org Mon Jan  1 00:00:00 2024\n"
            b"From: sender@example.org\nTo: bench@localhost\n"
            b"Subject: message %d\nMessage-ID: <m%d@example.org>\n\n" % (i, i))
    body_bytes = max(size - len(head) - 1, 20)
    line = (b"%d " % i + b"abcdefghijklmnopqrstuvwxyz" * 3)[:75] + b"\n"
    lines, rest = divmod(body_bytes, len(line))
    return head + line * lines + b"x" * max(rest - 1, 0) + b"\n\n"


def small_message(i):
    return (b"From sender@example.org Mon Jan  1 00:00:00 2024\n"
            b"From: sender@example.org\nTo: bench@localhost\n"
            b"Subject: m%d\nMessage-ID: <m%d@example.org>\n\n"
            b"Short body of message %d.\n\n" % (i, i, i))


def generate(path, count, size=None):
    """Writes a maildrop of count messages (small ones when size is None) unless present."""
    if os.path.exists(path):
        return
    tmp = path + ".part"
    with open(tmp, "wb") as f:
        batch = []
        for i in range(1, count + 1):
            batch.append(small_message(i) if size is None else message(i, size))
            if len(batch) >= 4096:
                f.write(b"".join(batch))
                batch = []
        f.write(b"".join(batch))
    os.rename(tmp, path)


# -- namespace and processes ------------------------------------------------------------


class Box:
    """A maildrop: a master copy under build-compare/data and the live file in /var/mail."""

    def __init__(self, login, count, size, uid):
        self.login, self.count, self.size, self.uid = login, count, size, uid
        # The shape is in the name: a kept master of another form (the quit
        # maildrop is 10 MiB, 100 MiB or 1 GiB) must not be taken for this one.
        self.master = os.path.join(WORK, "data", "%s-%d-%s.mbox" % (login, count, size or "small"))
        self.path = os.path.join("/var/mail", login)

    def bytes(self):
        return os.path.getsize(self.master)

    def install(self):
        """A fresh copy of the master in /var/mail (owner bench, group mail, 0600)."""
        generate(self.master, self.count, self.size)
        for stale in (self.path + ".lock",):
            if os.path.exists(stale):
                raise RuntimeError("stale lock " + stale)
        subprocess.run(["cp", self.master, self.path + ".new"], check=True)
        os.chown(self.path + ".new", self.uid, 8)
        os.chmod(self.path + ".new", 0o600)
        os.rename(self.path + ".new", self.path)


# -- measuring ---------------------------------------------------------------------------
