"""The groups of scenarios of bench/compare.py (limits, quit, logins, history,
retr, stat, list), in the order they run: each measures on the rig and adds
its rows to the table, with the targets and their verdicts."""

import os
import shutil
import statistics
import time

from compare_base import KIB, MIB, WORK
from compare_client import Client
from compare_limits import cp_sync, round_trip_rate, settle, split_time, stream_rate
from compare_maildrops import generate
from compare_scenarios import (PIPELINE_WINDOW, finish, list_run, login_run, quit_run,
                               retr_pipelined_run, retr_run, stat_run, warm)
from compare_servers import Tollmar
from compare_table import Table, interleaved, median_of, mib, mib_s, ms, per_s, percent

# The table's column of each server of the rig.
COLUMN = {"tollmar": "tollmar", "dovecot-stock": "dovecot stock",
          "dovecot-tuned": "dovecot tuned"}


class Run:
    """One run's choices (sizes, reps, --only, --budget), its rig, the table it
    fills, the notes under the table and the machine limits measured so far."""

    def __init__(self, rig, args, program):
        self.rig, self.size, self.reps, self.program = rig, rig.size, args.reps, program
        self.only, self.budget = args.only, args.budget
        self.table = Table()
        self.notes = []
        self.limits = {}
        self.began = time.monotonic()

    def cols(self, per_server, key=None, fold=median_of):
        return {COLUMN[name]: fold(values, key) for name, values in per_server.items()}

    def in_budget(self, what):
        if self.budget is not None and time.monotonic() - self.began > self.budget:
            self.notes.append("skipped %s: the time budget of %d s was used up" % (
                what, self.budget))
            return False
        return True

    def want(self, group):
        return (self.only is None or group in self.only) and self.in_budget(group)


def measure_limits(r):
    if not (r.want("limits") or r.want("retr") or r.want("quit") or r.want("stat")):
        return
    size, reps, table, limits = r.size, r.reps, r.table, r.limits
    quit_box = r.rig.quit_box
    tcp = [stream_rate(size["throughput_bytes"]) for _ in range(reps)]
    tls = [stream_rate(size["throughput_bytes"] // 4, r.rig.tls_files) for _ in range(reps)]
    limits["tcp"], limits["tls"] = statistics.median(tcp), statistics.median(tls)
    table.limit("limit: loopback TCP, 64 KiB writes", limits["tcp"], mib_s)
    table.limit("limit: loopback TLS, 64 KiB writes", limits["tls"], mib_s)
    limits["rtt"] = statistics.median([round_trip_rate(1000, 10 * KIB)
                                       for _ in range(reps)])
    table.limit("limit: 1000 round trips with 10 KiB replies made beforehand",
                limits["rtt"], mib_s)
    # The QUIT group's maildrop, which --only may have left ungenerated.
    generate(quit_box.master, quit_box.count, quit_box.size)
    cps = [cp_sync(quit_box) for _ in range(reps)]
    limits["cp"] = statistics.median([a + b for a, b in cps])
    limits["sync"] = statistics.median([b for _, b in cps])
    table.limit("limit: cp + sync of the %s maildrop" % r.rig.quit_label, limits["cp"], ms)


def measure_quit(r):
    """QUIT after DELE."""
    if not r.want("quit"):
        return
    settle()
    quit_box, limits = r.rig.quit_box, r.limits
    for which, label, target_text, bound in (
            (1, "DELE 1", "≤ 2× cp + sync (%s)" % ms(limits["cp"]), 2 * limits["cp"]),
            (quit_box.count, "DELE of the last message",
             "≤ 0.1 s + sync (%s)" % ms(0.1 + limits["sync"]), 0.1 + limits["sync"])):
        runs = interleaved(r.rig.servers, r.reps, lambda s: quit_run(s, quit_box, which))
        r.table.add("QUIT after %s, %s: until unlocked" % (label, r.rig.quit_label),
                    r.cols(runs), ms, target_text,
                    check=lambda v, b=bound: v <= b)


def measure_logins(r):
    """Logins per second, tollmar with its spool folder on disk and on tmpfs."""
    if not r.want("logins"):
        return
    settle()
    rig, size, table, cols = r.rig, r.size, r.table, r.cols
    servers, login_boxes = rig.servers, rig.login_boxes
    both = servers + [rig.tollmar_tmpfs, rig.tollmar_x]
    for mode in ("plain", "TLS", "TLS resumed"):
        tls, resume = mode != "plain", mode == "TLS resumed"
        for workers in (1, 2):
            for s in servers + [rig.tollmar_x]:
                warm([s], login_boxes[0])
            runs = interleaved(both, r.reps, lambda s: login_run(
                s, login_boxes[:workers], tls, size["logins"], size["login_limit"],
                resume))
            tmpfs_runs = runs.pop("tollmar-tmpfs")
            x_runs = runs.pop("tollmar-X")
            label = "logins/s, %s, %d worker%s" % (mode, workers,
                                                   "s" if workers > 1 else "")
            if resume:
                # A session a server did not resume cost a full handshake.
                table.add("TLS logins resumed, %d worker%s" % (
                    workers, "s" if workers > 1 else ""), dict(
                    cols(runs, "resumed"), tollmar=median_of(tmpfs_runs, "resumed")),
                    percent, better="higher")
            for where, per in (
                    ("spool on disk", cols(runs, "rate")),
                    ("spool on tmpfs", dict(cols(runs, "rate"),
                                            tollmar=median_of(tmpfs_runs, "rate")))):
                # The targets of 2 workers: a fork per login against
                # long-lived processes must still win clearly.
                factor = {"plain": 1.5, "TLS": 1.2, "TLS resumed": 2.0}[mode] \
                    if workers == 2 else 1.0
                table.add("%s, %s" % (label, where), per, per_s,
                          "≥ %g× tuned Dovecot" % factor if factor != 1
                          else "≥ tuned Dovecot",
                          "higher",
                          check=lambda v, r=per, f=factor: v >= f * r["dovecot tuned"])
            on_tmpfs = median_of(tmpfs_runs, "rate")
            xper = dict(cols(runs, "rate"), tollmar=median_of(x_runs, "rate"))
            table.add("%s, -X (served in place)" % label, xper, per_s,
                      "≥ spool on tmpfs (%s)" % per_s(on_tmpfs), "higher",
                      check=lambda v, t=on_tmpfs: v >= t)
            for where, per in (
                    ("spool on disk", cols(runs, "p99")),
                    ("spool on tmpfs", dict(cols(runs, "p99"),
                                            tollmar=median_of(tmpfs_runs, "p99")))):
                table.add("%s, %s: p99" % (label, where), per, ms, "< 20 ms",
                          check=lambda v: v < 0.020)


def measure_history(r):
    """Logins/s with a spool folder on disk that one session of the history
    maildrop has just used, against another instance with a fresh folder on
    the same disk."""
    if not r.want("history"):
        return
    settle()
    rig, size = r.rig, r.size
    big, small = rig.history_box, rig.login_boxes[0]
    for box in (big, small):
        box.install()  # --only may have left them out
    instances = {}
    for name in ("fresh", "used"):
        folder = os.path.join(WORK, "spool-" + name)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        os.chmod(folder, 0o1777)
        instances[name] = Tollmar("tollmar-" + name, rig.control, rig.auth, folder,
                                  rig.tls_files)
    used = instances["used"]
    c = Client(used.port(False), False)
    c.login(big.login)
    c.cmd("STAT")
    finish(used, big, c)
    runs = interleaved([used, instances["fresh"]], r.reps, lambda s: login_run(
        s, [small], False, size["logins"], size["login_limit"]))
    fresh = median_of(runs["tollmar-fresh"], "rate")
    r.table.add("logins/s, plain, 1 worker, spool on disk, fresh folder", {"tollmar": fresh},
                per_s)
    r.table.add("logins/s, plain, 1 worker, spool on disk, right after a session of %s "
                "messages" % rig.history_label,
                {"tollmar": median_of(runs["tollmar-used"], "rate")}, per_s,
                "within 10 %% of a fresh folder (%s)" % per_s(fresh), "higher",
                check=lambda v: v >= 0.9 * fresh)
    for server in instances.values():
        server.plain.stop()
        server.tls.stop()


def measure_retr(r):
    if not r.want("retr"):
        return
    servers, table, limits, cols = r.rig.servers, r.table, r.limits, r.cols
    for b, label in r.rig.retr_boxes:
        warm(servers, b)
        for tls in (False, True):
            runs = interleaved(servers, r.reps, lambda s: retr_run(s, b, tls))
            mbps = {k: b.bytes() / MIB / v for k, v in cols(runs).items()}
            name = "RETR %s, %s" % (label, "TLS" if tls else "plain")
            if label.startswith("1000"):
                table.add(name, mbps, mib_s, "≥ 2× tuned Dovecot (round-trip limit "
                          "%.0f MiB/s)" % limits["rtt"], "higher",
                          check=lambda v, r=mbps: v >= 2 * r["dovecot tuned"])
                # What a pipelining client gains where the round trips dominate.
                runs = interleaved(servers, r.reps, lambda s: retr_pipelined_run(s, b, tls))
                piped = {k: b.bytes() / MIB / v for k, v in cols(runs).items()}
                table.add("RETR %s pipelined (%d in flight), %s"
                          % (label, PIPELINE_WINDOW, "TLS" if tls else "plain"),
                          piped, mib_s, "≥ tuned Dovecot", "higher",
                          check=lambda v, r=piped: v >= r["dovecot tuned"])
            elif label.startswith("100 "):
                table.add(name, mbps, mib_s, "≥ tuned Dovecot", "higher",
                          check=lambda v, r=mbps: v >= r["dovecot tuned"])
            elif tls:
                table.add(name, mbps, mib_s, "≥ 2× tuned Dovecot", "higher",
                          check=lambda v, r=mbps: v >= 2 * r["dovecot tuned"])
            else:
                table.add(name, mbps, mib_s,
                          "≥ 0.5× loopback TCP (%.0f MiB/s)" % limits["tcp"],
                          "higher",
                          check=lambda v: v >= 0.5 * limits["tcp"])


def measure_stat(r):
    """connect-to-STAT, first and second login, spool folder on disk and tmpfs."""
    if not r.want("stat"):
        return
    rig, reps, table = r.rig, r.reps, r.table
    for b, label in rig.stat_boxes:
        if not r.in_budget("connect-to-STAT on " + label):
            break
        settle()
        split_disk = statistics.median(
            [split_time(r.program, b, rig.spool_disk) for _ in range(reps)])
        split_tmpfs = statistics.median(
            [split_time(r.program, b, rig.spool_tmpfs) for _ in range(reps)])
        table.limit("limit: split_mbox, %s, on disk" % label, split_disk, ms)
        table.limit("limit: split_mbox, %s, on tmpfs" % label, split_tmpfs, ms)
        both = rig.servers + [rig.tollmar_tmpfs, rig.tollmar_x]

        def pair(s):
            return {"first": stat_run(s, b, True), "second": stat_run(s, b, False)}

        runs = interleaved(both, reps, pair)
        tmpfs_runs = runs.pop("tollmar-tmpfs")
        x_runs = runs.pop("tollmar-X")
        for which in ("first", "second"):
            per = {COLUMN[n]: median_of([v[which]["stat"] for v in vals])
                   for n, vals in runs.items()}
            tm = median_of([v[which]["stat"] for v in tmpfs_runs])
            # The targets are about the first login, which copies the maildrop.
            small = label == "1 MiB" or which == "second"
            table.add("connect-to-STAT %s, %s login, spool on disk" % (label, which),
                      per, ms,
                      "" if small else "≤ 1.2× split_mbox on disk (%s)" % ms(split_disk),
                      check=None if small else (lambda v: v <= 1.2 * split_disk))
            tper = dict(per, tollmar=tm)
            table.add("connect-to-STAT %s, %s login, spool on tmpfs" % (label, which),
                      tper, ms, "" if small else "≤ 0.2× tuned Dovecot",
                      check=None if small else
                      (lambda v, r=tper: v <= 0.2 * r["dovecot tuned"]))
            # Served in place: the first login reads the maildrop and
            # writes nothing; the second takes the first one's index.
            xper = dict(per, tollmar=median_of([v[which]["stat"] for v in x_runs]))
            factor = 0.3 if which == "first" else 1.0
            table.add("connect-to-STAT %s, %s login, -X (served in place)"
                      % (label, which), xper, ms,
                      "" if label == "1 MiB" else "≤ %g× tuned Dovecot" % factor,
                      check=None if label == "1 MiB" else
                      (lambda v, r=xper, f=factor: v <= f * r["dovecot tuned"]))
        peak = {COLUMN[n]: median_of([v["first"]["peak"] for v in vals])
                for n, vals in runs.items()}
        table.add("peak memory, %s (%d messages)" % (label, b.count), peak, mib,
                  "< 16 MiB + 100 B/message", check=lambda v, n=b.count:
                  v * 1024 < 16 * MIB + 100 * n)
        spool_peak = peak["tollmar"]
        xpeak = dict(peak, tollmar=median_of([v["second"]["peak"] for v in x_runs]))
        table.add("peak memory, %s (%d messages), -X, login from the index"
                  % (label, b.count), xpeak, mib, "≤ spool mode (%s)" % mib(spool_peak),
                  check=lambda v, t=spool_peak: v <= t)


def measure_list(r):
    """LIST and UIDL."""
    if not r.want("list"):
        return
    rig, table, cols = r.rig, r.table, r.cols
    servers = rig.servers
    for b, label in rig.list_boxes:
        if not r.in_budget("LIST and UIDL on %s messages" % label):
            break
        settle()
        warm(servers + [rig.tollmar_x], b)
        runs = interleaved(servers + [rig.tollmar_x], r.reps, lambda s: list_run(s, b))
        x_runs = runs.pop("tollmar-X")
        table.add("login (connect-to-STAT), %s messages" % label, cols(runs, "login"),
                  ms, "linear in messages")
        lst = cols(runs, "list")
        table.add("LIST, %s messages" % label, lst, ms,
                  "≤ tuned Dovecot" if label == "10^4" else "linear in messages",
                  check=(lambda v, r=lst: v <= r["dovecot tuned"])
                  if label == "10^4" else None)
        uidl = cols(runs, "uidl")
        table.add("UIDL, %s messages" % label, uidl, ms, "≤ tuned Dovecot",
                  check=lambda v, r=uidl: v <= r["dovecot tuned"])
        table.add("peak memory, %s messages" % label, cols(runs, "peak"), mib,
                  "< 16 MiB + 100 B/message", check=lambda v, n=b.count:
                  v * 1024 < 16 * MIB + 100 * n)
        xlogin = dict(cols(runs, "login"), tollmar=median_of(x_runs, "login"))
        table.add("login (connect-to-STAT), %s messages, -X, after a session" % label,
                  xlogin, ms, "≤ 2× tuned Dovecot" if label == "10^6" else "",
                  check=(lambda v, r=xlogin: v <= 2 * r["dovecot tuned"])
                  if label == "10^6" else None)
        spool_peak = cols(runs, "peak")["tollmar"]
        xpeak = dict(cols(runs, "peak"), tollmar=median_of(x_runs, "peak"))
        table.add("peak memory, %s messages, -X" % label, xpeak, mib,
                  "≤ spool mode (%s)" % mib(spool_peak),
                  check=lambda v, t=spool_peak: v <= t)


# In the order they run: the limits first, which the targets of later groups name.
GROUPS = (measure_limits, measure_quit, measure_logins, measure_history, measure_retr,
          measure_stat, measure_list)
