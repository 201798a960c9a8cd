"""The cost of the pre-login process: two builds of tollmar side by side.

Runs as root, in the private mount namespace and sandbox of pop3_bench.py:

    python3 bench/privsep_bench.py BEFORE_BIN AFTER_BIN [--reps N] [--only logins]

For each binary, interleaved run by run (A, B, B, A, A, B, ...), so that both
see the same machine load and neither is always first:

1. logins per second: connect, greeting, USER, PASS, QUIT on a maildrop of
   one small message, until the session process is gone (LOGINS sequential
   logins per run), plain and TLS; and the CPU time per login of the
   listener and every process forked from it (perf stat, which counts each
   one as it ends, whoever reaps it);
2. RETR of one 10 MiB message (80-byte lines), plain and TLS: after the
   login, from sending "RETR 1" to the final ".".

Each figure is the median of --reps runs (default 5) after one warm-up run.
"""

import argparse
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import pop3_bench as pb  # noqa: E402  (pop3_bench puts tests/e2e on the path)

LOGINS = 100
RETR_BYTES = 10 * pb.MIB


def retr_message():
    head = b"From sender@example.org Mon Jan  1 00:00:00 2024\nSubject: big\n\n"
    lines = RETR_BYTES // 80
    return head + b"".join(bytes([ord("a") + i % 26]) * 79 + b"\n" for i in range(lines)) + b"\n"


def login_rate(target, sandbox, tls):
    lock_path = sandbox.mbox_path(pb.USER) + ".lock"
    start = time.perf_counter()
    for _ in range(LOGINS):
        client = target.connect(tls)
        pb.login(client)
        pb.quit_and_wait(target, client, lock_path)
    return LOGINS / (time.perf_counter() - start)


def login_cpu_ms(target, sandbox, tls):
    """Milliseconds of server CPU per login (the logins of login_rate): the
    listener and every process forked from it, counted by perf as each one
    ends. Not from the listener's children times in /proc: over TLS the
    pre-login process outlives the session as the relay and is reaped by the
    subreaper, not by the listener, so its handshake would go uncounted."""
    listener = target.tls if tls else target.plain
    with tempfile.TemporaryDirectory() as folder:
        out, control, ack = (os.path.join(folder, name) for name in ("out", "control", "ack"))
        os.mkfifo(control)
        os.mkfifo(ack)
        # Started with its counters off, and on once it acknowledges: no
        # login is run before perf counts.
        stat = subprocess.Popen(["perf", "stat", "-x,", "-e", "task-clock", "-o", out, "-D", "-1",
                                 "--control", "fifo:%s,%s" % (control, ack),
                                 "-p", str(listener.pid)], stderr=subprocess.DEVNULL)
        try:
            with open(control, "w") as c, open(ack) as a:
                c.write("enable\n")
                c.flush()
                if a.readline().strip() != "ack":
                    raise RuntimeError("perf stat did not start counting")
                login_rate(target, sandbox, tls)
        finally:
            stat.send_signal(signal.SIGINT)
            stat.wait(timeout=30)
        with open(out) as f:
            for line in f.read().splitlines():
                fields = line.split(",")
                if len(fields) > 2 and fields[2] == "task-clock" and fields[0][:1].isdigit():
                    return float(fields[0]) / LOGINS
    raise RuntimeError("perf stat counted no task-clock")


def retr_seconds(target, sandbox, tls):
    lock_path = sandbox.mbox_path(pb.USER) + ".lock"
    client = target.connect(tls)
    pb.login(client)
    start = time.perf_counter()
    client.send_line("RETR 1")
    if not client.read_line().startswith(b"+OK"):
        raise RuntimeError("RETR 1 refused")
    received = pb.read_multiline_raw(client)
    elapsed = time.perf_counter() - start
    pb.quit_and_wait(target, client, lock_path)
    if received < RETR_BYTES:
        raise RuntimeError("RETR delivered only %d bytes" % received)
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--only", choices=["logins"], help="leave out the RETR rows")
    args = parser.parse_args()
    if not 1 <= args.reps <= 50:
        parser.error("--reps must be between 1 and 50")
    binaries = {"before": os.path.abspath(args.before), "after": os.path.abspath(args.after)}
    subprocess.run(["bash", os.path.join(HERE, "setup.sh")], check=True)
    pb.enter_private_namespace(__file__)

    from pop3_sandbox import MAIL_GID, Sandbox
    from pop3_server import ServerControl, reap_orphans

    sandbox = Sandbox()
    controls = []
    try:
        sandbox.tmpfs("/var/mail", 0o2775, size="128m", gid=MAIL_GID)
        sandbox.tmpfs(sandbox.spool_tmp, 0o1777, size="128m")
        sandbox.add_user(pb.USER, pb.PASSWORD)
        cert, key = pb.make_certificate(sandbox.files_dir)
        targets = {}
        for name, binary in binaries.items():
            os.environ["TOLLMAR_BIN"] = binary
            control = ServerControl(sandbox, lambda: (cert, key))
            controls.append(control)
            targets[name] = pb.TollmarTarget(control)

        rows = {}

        def measure(row, maildrop, function, tls):
            sandbox.write_mbox(pb.USER, maildrop)
            samples = {name: [] for name in targets}
            order = list(targets.items())
            for rep in range(args.reps + 1):
                # Which one goes first alternates: the first of a pair
                # measured faster on RETR whichever binary it was.
                order.reverse()
                for name, target in order:
                    value = function(target, sandbox, tls)
                    if rep:
                        samples[name].append(value)
            rows[row] = {name: statistics.median(v) for name, v in samples.items()}
            print("  %-28s %s" % (row, rows[row]), flush=True)

        small = pb.small_message(1)
        measure("logins/s, plain", small, login_rate, False)
        measure("logins/s, TLS", small, login_rate, True)
        measure("CPU ms per login, plain", small, login_cpu_ms, False)
        measure("CPU ms per login, TLS", small, login_cpu_ms, True)
        if args.only != "logins":
            big = retr_message()
            measure("RETR 10 MiB s, plain", big, retr_seconds, False)
            measure("RETR 10 MiB s, TLS", big, retr_seconds, True)

        print("\n| measurement | before | after | change |\n|---|---|---|---|")
        for row, v in rows.items():
            if row.startswith("CPU"):
                fmt = lambda c: "%.2f ms" % c  # noqa: E731
                change = v["after"] / v["before"] - 1
            elif row.startswith("RETR"):
                fmt = lambda s: "%.1f MiB/s" % (RETR_BYTES / pb.MIB / s)  # noqa: E731
                change = v["before"] / v["after"] - 1
            else:
                fmt = lambda r: "%.1f" % r  # noqa: E731
                change = v["after"] / v["before"] - 1
            print("| %s | %s | %s | %+.1f %% |" % (row.replace(" s,", ","), fmt(v["before"]),
                                                   fmt(v["after"]), change * 100))
        print("\nmedians of %d runs after one warm-up; %d CPU(s), load average %s"
              % (args.reps, os.cpu_count(), " ".join("%.2f" % x for x in os.getloadavg())))
    finally:
        for control in controls:
            control.close()
        for binary in binaries.values():
            reap_orphans(binary)
        sandbox.close()


if __name__ == "__main__":
    main()
