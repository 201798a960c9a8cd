"""The soak's delivery agents: procmail, which takes the dot-lock and an
fcntl lock, and lockf_agent.py, which honours only the kernel lock."""

import os
import random
import subprocess
import sys

from soak_messages import make_message
from soak_model import PASSWORD

HERE = os.path.dirname(os.path.abspath(__file__))


class Deliveries:
    """Mixed into the soak: needs self.args, self.accounts, self.sandbox,
    self.lock, self.fig, self.stop_deliveries and register()."""

    def fill_big_accounts(self):
        """The first accounts start with large maildrops, so that a rewrite takes
        long enough to be killed in the middle."""
        rng = random.Random("%d/big" % self.args.seed)
        for index, acct in enumerate(self.accounts[:self.args.big_accounts]):
            size = 0
            with open(acct.path, "ab") as f:
                while size < self.args.big_size:
                    mid = "%d-big%d-%d" % (self.args.seed, index, len(acct.generated))
                    msg = make_message(rng, mid, acct.name, False)
                    self.register(acct, mid, msg)
                    f.write(msg)
                    acct.delivered.add(mid)
                    size += len(msg)
            self.fig.add("delivered", len(acct.generated))
            self.fig.add("delivered into big maildrops before the start", len(acct.generated))

    def check_procmail(self):
        """procmail must store a message exactly as given (it would otherwise
        change what the model expects): checked once on a scratch account."""
        from pop3_sandbox import read_bytes

        rng = random.Random("%d/calibration" % self.args.seed)
        name = "soakcal"
        self.sandbox.add_user(name, PASSWORD)
        path = self.sandbox.write_mbox(name, b"")
        msg = make_message(rng, "calibration", name, hostile=False)
        p = subprocess.run(["procmail", "-d", name], input=msg, capture_output=True,
                           env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}, timeout=60)
        got = read_bytes(path)
        if p.returncode != 0 or got != msg:
            sys.exit("soak: procmail does not store messages verbatim (status %d, %d bytes "
                     "stored of %d; stderr %r)" % (p.returncode, len(got), len(msg), p.stderr))
        os.unlink(path)

    def deliverer(self, kind, index, count=None):
        """Delivers with one agent until told to stop (or `count` messages)."""
        phase = "prefill" if count is not None else "run"
        rng = random.Random("%d/deliver/%s/%s/%d" % (self.args.seed, phase, kind, index))
        n = 0
        while not self.stop_deliveries.is_set() and (count is None or n < count):
            acct = rng.choice(self.accounts)
            mid = "%d-%s%s%d-%d" % (self.args.seed, phase[0], kind[0], index, n)
            n += 1
            msg = make_message(rng, mid, acct.name, rng.random() < self.args.hostile_rate)
            self.register(acct, mid, msg)
            if kind == "procmail":
                argv = ["procmail", "-d", acct.name]
            else:
                argv = [sys.executable, os.path.join(HERE, "lockf_agent.py"), acct.path]
            try:
                p = subprocess.run(argv, input=msg, capture_output=True, timeout=120,
                                   env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"})
                status = p.returncode
            except subprocess.TimeoutExpired:
                status = None
            with self.lock:
                if status == 0:
                    acct.delivered.add(mid)
                    self.fig.add("delivered")
                    self.fig.add("delivered by " + kind)
                else:
                    acct.delivery_failed.add(mid)
                    self.fig.add("deliveries failed (%s)" % kind)
            if count is None:
                # Pace: during the run the agents are a steady stream, not a flood.
                self.stop_deliveries.wait(rng.uniform(0, 2 * self.args.delivery_pause))
