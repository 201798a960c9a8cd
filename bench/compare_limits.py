"""The machine's own limits, measured in the same run as the servers: loopback
TCP and TLS throughput, request/reply round trips, cp + sync, one file per
message (split_mbox); and letting the disk settle between groups."""

import os
import shutil
import socket
import ssl
import subprocess
import sys
import time

from compare_base import CLIENT_TIMEOUT, HERE, KIB, MIB, WORK
from compare_client import CLIENT_TLS, Client


def dirty_kib():
    """Page-cache data not yet on the disk: Dirty plus Writeback, in KiB."""
    total = 0
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith(("Dirty:", "Writeback:")):
                total += int(line.split()[1])
    return total


def settle(limit=60):
    """Lets the disk catch up with earlier groups before the next one is timed.

    A group that copies hundreds of MiB leaves writeback (and, on a filesystem
    mounted with discard, trims) running for seconds; whatever is timed next
    on the same disk would pay for it.
    """
    subprocess.run(["sync"], check=True)
    deadline = time.monotonic() + limit
    while dirty_kib() > 4096 and time.monotonic() < deadline:
        time.sleep(0.1)


def loopback_listener():
    """A listening socket on a free loopback port, and the port."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    return listener, listener.getsockname()[1]


def fork_peer(what, body):
    """Runs body() in a forked child that ends with it; returns the child's pid."""
    pid = os.fork()
    if pid == 0:
        try:
            body()
        except BaseException as e:
            print("%s: %r" % (what, e), file=sys.stderr, flush=True)
            os._exit(1)
        finally:
            os._exit(0)
    return pid


def stream_rate(total, tls_files=None):
    """MiB/s from a forked sender over loopback in 64 KiB writes (TLS when tls_files)."""
    listener, port = loopback_listener()
    def send():
        sock = socket.create_connection(("127.0.0.1", port))
        if tls_files:
            sock = CLIENT_TLS.wrap_socket(sock)
        block = b"x" * (64 * KIB)
        for _ in range(total // len(block)):
            sock.sendall(block)
        # Closing with unread bytes (TLS session tickets) would reset the
        # connection and drop what the receiver has not read yet.
        socket.socket.shutdown(sock, socket.SHUT_WR)
        while socket.socket.recv(sock, 64 * KIB):
            pass
        sock.close()

    pid = fork_peer("loopback sender", send)
    conn, _ = listener.accept()
    listener.close()
    conn.settimeout(CLIENT_TIMEOUT)
    if tls_files:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(*tls_files)
        conn = ctx.wrap_socket(conn, server_side=True)
    buf = bytearray(256 * KIB)
    got = 0
    start = time.perf_counter()
    while got < total:
        n = conn.recv_into(buf)
        if n == 0:
            break
        got += n
    elapsed = time.perf_counter() - start
    conn.close()
    os.waitpid(pid, 0)
    if got < total:
        raise RuntimeError("loopback stream ended after %d of %d bytes" % (got, total))
    return total / MIB / elapsed


def round_trip_rate(count, size):
    """MiB/s of count request/reply round trips with size-byte replies over loopback.

    A forked responder answers each request line at once with a reply made
    beforehand, in one write; the client is the one the servers get. No
    server can do one RETR per round trip faster than this on the machine.
    """
    listener, port = loopback_listener()
    reply = b"+OK\r\n" + (b"x" * 76 + b"\r\n") * (size // 78) + b".\r\n"
    def respond():
        listener.settimeout(CLIENT_TIMEOUT)
        conn, _ = listener.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        pending = b""
        while True:
            chunk = conn.recv(4096)
            if not chunk:
                break
            pending += chunk
            while b"\r\n" in pending:
                _, pending = pending.split(b"\r\n", 1)
                conn.sendall(reply)
        conn.close()

    pid = fork_peer("round-trip responder", respond)
    listener.close()
    c = Client(port, False)
    start = time.perf_counter()
    got = 0
    for n in range(1, count + 1):
        got += c.multiline("RETR %d" % n)
    elapsed = time.perf_counter() - start
    c.close()
    os.waitpid(pid, 0)
    return got / MIB / elapsed


def cp_sync(box):
    """(cp, sync) seconds for a copy of box's maildrop into a folder on the same disk."""
    dest = os.path.join(WORK, "cp-copy")
    subprocess.run(["sync"], check=True)
    start = time.perf_counter()
    subprocess.run(["cp", box.master, dest], check=True)
    copied = time.perf_counter()
    subprocess.run(["sync"], check=True)
    done = time.perf_counter()
    os.unlink(dest)
    subprocess.run(["sync"], check=True)
    return copied - start, done - copied


def split_time(program, box, folder):
    """Seconds for split_mbox to write every message of box into its own file in folder."""
    target = os.path.join(folder, "split")
    shutil.rmtree(target, ignore_errors=True)
    os.mkdir(target)
    start = time.perf_counter()
    out = subprocess.run([program, box.path, target], check=True, capture_output=True)
    elapsed = time.perf_counter() - start
    if int(out.stdout) != box.count:
        raise RuntimeError("split_mbox wrote %s files for %d messages" % (out.stdout, box.count))
    shutil.rmtree(target)
    return elapsed


# -- scenarios ---------------------------------------------------------------------------


def build_split_program():
    source = os.path.join(HERE, "tools", "split_mbox.cpp")
    program = os.path.join(WORK, "split_mbox")
    if not os.path.exists(program) or os.path.getmtime(program) < os.path.getmtime(source):
        os.makedirs(WORK, exist_ok=True)
        subprocess.run(["g++", "-O2", "-std=c++20", "-o", program, source], check=True)
    return program
