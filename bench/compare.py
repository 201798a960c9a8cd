#!/usr/bin/env python3
"""tollmar side by side with Dovecot (stock and tuned), with the machine's limits.

Run as root from anywhere:

    python3 bench/compare.py --short      # about a minute, small sizes
    python3 bench/compare.py              # everything, 1 GiB and 10^6 messages

What it does, all in one run and on loopback only:

* installs what it needs from Debian packages (bench/setup.sh) and builds the
  one-file-per-message program (bench/tools/split_mbox.cpp) with g++;
* re-executes itself in a private mount namespace and builds the sandbox of
  the end-to-end tests (tests/e2e/pop3_sandbox.py): an account ``bench``
  in an /etc overlay, /var/mail and /home bound to folders on disk below
  build-compare/, a spool folder on disk and one on tmpfs;
* starts tollmar three times (plain with the spool folder on disk, TLS with
  -s, plain with the spool folder on tmpfs), all with -a and an auth file
  that maps one login per maildrop to the account;
* starts two private Dovecot instances with generated configurations (own
  base_dir, passwd-file users with the same mbox files as INBOX, ssl with a
  generated self-signed certificate, no system configuration): "stock"
  keeps Dovecot's process model, "tuned" has long-lived pre-started login
  and pop3 processes;
* measures every scenario with the servers interleaved (A/B/C, A/B/C, ...),
  each figure the median of --reps runs (at least 3), and the machine's
  limits in the same run: loopback TCP and TLS throughput in 64 KiB writes,
  cp + sync of the maildrop, and split_mbox on the same maildrops;
* prints a markdown table (scenario, tollmar, dovecot stock, dovecot tuned,
  ratio, target) and writes it to --out; with --figures it also draws it
  (bench/figures.py), and --redraw draws a stored table again without a run.

The ratio is always tollmar's speed relative to tuned Dovecot (or to the
limit named in the target): above 1 means tollmar is faster or smaller.

Every wait is bounded, only processes started here are signalled, and the
data below build-compare/ is removed at the end (--keep-data keeps the
generated maildrops for the next run).

This file is the command line; the set-up, the servers, the scenarios and
the table are modules beside it (bench/README.md, "The modules").
"""

import argparse
import ctypes
import datetime
import os
import signal
import subprocess
import sys
import time

import compare_groups
import figures
from compare_base import HERE, REPO
from compare_limits import build_split_program
from compare_maildrops import sizes
from compare_rig import Rig
from compare_table import machine

_NAMESPACE_MARK = "TOLLMAR_COMPARE_NAMESPACE"
_PR_SET_CHILD_SUBREAPER = 36


def enter_private_namespace():
    """Re-runs this script under unshare unless already inside; then becomes a subreaper."""
    if os.environ.get(_NAMESPACE_MARK) != str(os.getpid()):
        sys.stdout.flush()
        sys.stderr.flush()
        env = dict(os.environ)
        env[_NAMESPACE_MARK] = str(os.getpid())  # unshare execs, so the pid stays
        argv = ["unshare", "--mount", "--propagation", "private",
                sys.executable, os.path.abspath(__file__), *sys.argv[1:]]
        os.execvpe("unshare", argv, env)
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(_PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        sys.exit("prctl(PR_SET_CHILD_SUBREAPER) failed")


def run(args, program):
    """Stages the rig, measures the groups in turn; returns the table and its notes."""
    with Rig(sizes(args.form), args.only, args.keep_data) as rig:
        r = compare_groups.Run(rig, args, program)
        print("tollmar %s, Dovecot %s; %d runs each, interleaved\n"
              % (rig.binary, rig.dovecot_version, args.reps), flush=True)
        for measure in compare_groups.GROUPS:
            measure(r)
        r.notes.append("tollmar %s; Dovecot %s; medians of %d interleaved runs" % (
            rig.binary, rig.dovecot_version, args.reps))
        r.notes.append("%d CPUs, load average at the end %s" % (
            os.cpu_count(), " ".join("%.2f" % x for x in os.getloadavg())))
        return r.table, r.notes


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--short", dest="form", action="store_const", const="short",
                        default="full", help="small sizes only (about a minute)")
    parser.add_argument("--medium", dest="form", action="store_const", const="medium",
                        help="up to 100 MiB and 10^5 messages (a few minutes)")
    parser.add_argument("--reps", type=int, default=3, help="runs per median (3 to 15)")
    parser.add_argument("--only", type=lambda t: set(t.split(",")),
                        help="comma-separated groups: limits, logins, history, retr, stat, "
                        "list, quit")
    parser.add_argument("--budget", type=int,
                        help="seconds after which the groups not yet started are skipped")
    parser.add_argument("--out", help="markdown file for the table "
                        "[bench/results-short.md or bench/results-full.md]")
    parser.add_argument("--keep-data", action="store_true",
                        help="keep the generated maildrops in build-compare/data")
    parser.add_argument("--figures", action="store_true",
                        help="also draw the table as figures, <out without .md>.<group>.svg")
    parser.add_argument("--redraw", metavar="RESULTS",
                        help="only draw the figures of a stored results file, and exit")
    args = parser.parse_args()
    if args.redraw:
        for path in figures.draw(args.redraw):
            print("drawn " + path)
        return
    if not 3 <= args.reps <= 15:
        parser.error("--reps must be between 3 and 15")
    if os.geteuid() != 0:
        sys.exit("compare.py must run as root")
    if not os.environ.get("TOLLMAR_BIN"):
        os.environ["TOLLMAR_BIN"] = os.path.join(REPO, "build", "tollmar")
    out = args.out or os.path.join(HERE, "results-%s.md" % args.form)
    if os.environ.get(_NAMESPACE_MARK) != str(os.getpid()):
        subprocess.run(["bash", os.path.join(HERE, "setup.sh")], check=True)
        build_split_program()
    enter_private_namespace()
    # A timeout or an operator's kill still stops the servers and cleans up.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda *_: sys.exit("compare.py: stopped by a signal"))
    program = build_split_program()
    started = time.time()
    table, notes = run(args, program)
    command = " ".join(["python3 bench/compare.py"] + sys.argv[1:])
    text = "\n".join([
        "Run %s UTC on %s; `%s`, %.0f s." % (
            datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M"), machine(), command,
            time.time() - started),
        "",
        table.markdown(),
        "",
    ] + ["- " + n for n in notes]) + "\n"
    with open(out, "w") as f:
        f.write(text)
    print("\n" + text + "\nwritten to " + out)
    if args.figures:
        for path in figures.draw(out):
            print("drawn " + path)


if __name__ == "__main__":
    main()
