"""The scenarios bench/compare.py times on one server: logins, RETR (one
round trip each or pipelined), connect-to-STAT, LIST and UIDL, QUIT after
DELE. Each returns its figures; the groups put them in the table."""

import os
import subprocess
import threading
import time

from compare_base import CLIENT_TIMEOUT, proc_status, wait_for
from compare_client import Client
from compare_servers import Tollmar


def vm_hwm_kib(pid):
    text = proc_status(pid).get("VmHWM", "0 kB")
    return int(text.split()[0])


def session_pid(server, before):
    """The session process of the one connection just logged in."""
    pids = wait_for(lambda: [p for p in server.session_pids() if p not in before],
                    server.name + " session process", 10)
    return pids[0]


def finish(server, box, client):
    client.quit()
    wait_for(lambda: server.released(box), server.name + " to release " + box.login)


def login_run(server, boxes, tls, count, limit, resume=False):
    """Sequential sessions in len(boxes) workers; returns logins per second, the p99 in
    seconds and the share of TLS logins that resumed. With resume, each worker offers
    the session of its previous login (after a first login, untimed, that gets one)."""
    latencies = [[] for _ in boxes]
    resumed = [0 for _ in boxes]
    errors = []
    deadline = time.monotonic() + limit

    def worker(i, box):
        try:
            session = None
            if resume:
                c = Client(server.port(tls), tls)
                c.login(box.login)  # the ticket comes with the greeting
                session = c.sock.session
                c.quit()
            for _ in range(count):
                if time.monotonic() > deadline:
                    return
                t0 = time.perf_counter()
                c = Client(server.port(tls), tls, session)
                c.login(box.login)
                c.cmd("STAT")
                if resume:
                    resumed[i] += c.sock.session_reused
                    session = c.sock.session
                c.quit()
                latencies[i].append(time.perf_counter() - t0)
        except Exception as e:  # reported after the join
            errors.append("%s: %s" % (server.name, e))

    threads = [threading.Thread(target=worker, args=(i, b)) for i, b in enumerate(boxes)]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join(limit + CLIENT_TIMEOUT)
    elapsed = time.perf_counter() - start
    for box in boxes:
        wait_for(lambda: server.released(box), "sessions to end")
    everything = sorted(x for per in latencies for x in per)
    if errors or not everything:
        raise RuntimeError("; ".join(errors) or "no login completed")
    p99 = everything[min(len(everything) - 1, int(len(everything) * 0.99))]
    return {"rate": len(everything) / elapsed, "p99": p99,
            "resumed": sum(resumed) / len(everything)}


def retr_run(server, box, tls):
    """Seconds to RETR every message of box after the login, one round trip each."""
    c = Client(server.port(tls), tls)
    c.login(box.login)
    start = time.perf_counter()
    for n in range(1, box.count + 1):
        if c.multiline("RETR %d" % n) < box.size // 2:
            raise RuntimeError("short RETR reply")
    elapsed = time.perf_counter() - start
    finish(server, box, c)
    return elapsed


# RETRs a pipelining client keeps in flight (PIPELINING, RFC 2449).
PIPELINE_WINDOW = 64


def retr_pipelined_run(server, box, tls):
    """Seconds to RETR every message of box after the login, PIPELINE_WINDOW
    commands ahead of the replies read."""
    c = Client(server.port(tls), tls)
    c.login(box.login)
    start = time.perf_counter()
    sent = 0
    for n in range(1, box.count + 1):
        ahead = b"".join(b"RETR %d\r\n" % k
                         for k in range(sent + 1, min(box.count, n + PIPELINE_WINDOW - 1) + 1))
        if ahead:
            c.sock.sendall(ahead)
            sent = min(box.count, n + PIPELINE_WINDOW - 1)
        if c.body("RETR %d" % n) < box.size // 2:
            raise RuntimeError("short RETR reply")
    elapsed = time.perf_counter() - start
    finish(server, box, c)
    return elapsed


def stat_run(server, box, first):
    """(connect-to-STAT seconds, peak KiB of the session process)."""
    if first:
        server.forget_index(box)
    before = set(server.session_pids())
    start = time.perf_counter()
    c = Client(server.port(False), False)
    c.login(box.login)
    reply = c.cmd("STAT")
    elapsed = time.perf_counter() - start
    if not reply.startswith("+OK %d " % box.count):
        raise RuntimeError("STAT answered %r" % reply)
    peak = vm_hwm_kib(session_pid(server, before))
    finish(server, box, c)
    return {"stat": elapsed, "peak": peak}


def list_run(server, box):
    """connect-to-STAT, LIST and UIDL seconds and the session's peak KiB."""
    # A session with spool copies in between gave the maildrop a new change
    # time; served in place, the run is of the login after a session of its own.
    if getattr(server, "in_place", False):
        warm([server], box)
    before = set(server.session_pids())
    start = time.perf_counter()
    c = Client(server.port(False), False)
    c.login(box.login)
    c.cmd("STAT")
    logged_in = time.perf_counter()
    c.multiline("LIST")
    listed = time.perf_counter()
    c.multiline("UIDL")
    done = time.perf_counter()
    peak = vm_hwm_kib(session_pid(server, before))
    finish(server, box, c)
    return {"login": logged_in - start, "list": listed - logged_in, "uidl": done - listed,
            "peak": peak}


def count_messages(path):
    """From_ lines in an mbox (a cheap check that needs no second session)."""
    out = subprocess.run(["grep", "-c", "^From ", path], capture_output=True, text=True)
    return int(out.stdout or 0)


def quit_run(server, box, which):
    """Seconds from QUIT (after DELE of message `which`) until the maildrop is unlocked.

    Unlocked: the client has the reply and the end of the connection, and the
    dot-lock is gone, so that a new session gets in at once. The maildrop is
    then checked to hold one message less.
    """
    box.install()
    server.forget_index(box)
    c = Client(server.port(False), False)
    c.login(box.login)
    c.cmd("STAT")
    c.cmd("DELE %d" % which)
    start = time.perf_counter()
    c.quit()
    wait_for(lambda: not os.path.exists(box.path + ".lock"), "the dot-lock to go")
    elapsed = time.perf_counter() - start
    wait_for(lambda: server.released(box), server.name + " to release " + box.login)
    kept = count_messages(box.path)
    if kept != box.count - 1:
        raise RuntimeError("%s: after DELE + QUIT the maildrop holds %d messages, %d expected"
                           % (server.name, kept, box.count - 1))
    return elapsed


def warm(servers, box):
    """One untimed session per Dovecot: its index, built once as in real use."""
    for server in servers:
        if isinstance(server, Tollmar) and not server.in_place:
            continue  # with spool copies it keeps nothing between sessions
        c = Client(server.port(False), False)
        c.login(box.login)
        c.cmd("STAT")
        finish(server, box, c)
