"""Where the server listens: both address families by default, several -l
addresses, sockets handed over by a service manager (Accept=no), and one
connection on standard input (inetd mode, Accept=yes)."""

import os
import re
import subprocess

import pytest

from listening import MBOX, Activated, inetd, whole_session
from pop3_client import Pop3Client
from pop3_sandbox import LOG_ERR, LOG_INFO
from pop3_server import server_binary, wait_until


@pytest.fixture
def dora(sandbox):
    sandbox.add_user("dora", "dora-pw")
    sandbox.write_mbox("dora", MBOX)


@pytest.fixture
def activated(sandbox):
    started = []

    def start(*args, **kwargs):
        started.append(Activated(sandbox, *args, **kwargs))
        return started[-1]

    yield start
    for a in started:
        a.kill()


def listening_lines(log, pid=None):
    return [ln.message for ln in log.find(re.compile("^Listening on "), pid=pid)]


# -- the server's own listener ---------------------------------------------------


def test_default_serves_both_families_each_logged_in_its_form(server, log):
    srv = server.start(address=None)
    wait_until(lambda: listening_lines(log, srv.pid), "the Listening line")
    assert listening_lines(log, srv.pid) == ["Listening on :: port %d" % srv.port]
    for host in ("127.0.0.1", "::1"):
        with Pop3Client(srv.port, host=host) as c:
            port = c.sock.getsockname()[1]
            assert c.greeting() == "+OK"
        line = log.assert_logged("Connection from %s:%d" % (host, port), LOG_INFO)
        assert line.pid == srv.pid
    assert srv.stop() == 0


def test_several_listen_addresses_all_served(server, sandbox, log, dora):
    srv = server.start("-l", "::1", address="127.0.0.1")
    wait_until(lambda: len(listening_lines(log, srv.pid)) == 2, "two Listening lines")
    assert listening_lines(log, srv.pid) == ["Listening on 127.0.0.1 port %d" % srv.port,
                                             "Listening on ::1 port %d" % srv.port]
    for host in ("::1", "127.0.0.1"):
        with Pop3Client(srv.port, host=host) as c:
            port = c.sock.getsockname()[1]
            assert c.greeting() == "+OK"
        log.assert_logged("Connection from %s:%d" % (host, port), LOG_INFO)
    port = whole_session(sandbox, srv.port, host="::1")
    log.assert_logged("Connection from ::1:%d" % port, LOG_INFO)
    srv.wait_sessions_ended()
    assert srv.stop() == 0


def test_a_name_binds_every_address_it_resolves_to(server, sandbox, log):
    sandbox.write_etc("hosts", b"127.0.0.1 both.test\n::1 both.test\n")
    srv = server.start(address="both.test")
    wait_until(lambda: len(listening_lines(log, srv.pid)) == 2, "two Listening lines")
    assert sorted(listening_lines(log, srv.pid)) == sorted(
        ["Listening on 127.0.0.1 port %d" % srv.port, "Listening on ::1 port %d" % srv.port])
    for host in ("127.0.0.1", "::1"):
        with Pop3Client(srv.port, host=host) as c:
            assert c.greeting() == "+OK"
    assert srv.stop() == 0


def test_an_address_of_a_name_that_cannot_be_bound_is_skipped_with_a_warning(server, sandbox,
                                                                             log):
    # 192.0.2.1 (documentation range) is on no interface of this host.
    sandbox.write_etc("hosts", b"127.0.0.1 half.test\n192.0.2.1 half.test\n")
    srv = server.start(address="half.test")
    line = log.wait_for("not listening on 192.0.2.1 port %d: Cannot assign requested address"
                        % srv.port)
    assert line.priority == 4  # LOG_WARNING
    with srv.connect() as c:
        assert c.greeting() == "+OK"
    assert srv.stop() == 0


# -- sockets from a service manager (Accept=no) ------------------------------------


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
def test_activated_sockets_serve_whole_sessions(sandbox, log, tls_files, activated, dora, tls):
    cert, key = tls_files()
    args = ["-s", "-c", cert, "-k", key] if tls else []
    # -l and -p are not used when sockets are handed over.
    act = activated(["127.0.0.1", "[::1]"], args + ["-l", "192.0.2.1", "-p", "1"])
    # Like systemd, systemd-socket-activate starts the service at the first
    # connection, in its own place (exec): its pid is the server's.
    port = whole_session(sandbox, act.ports[0], tls=tls)
    log.assert_logged("Connection from 127.0.0.1:%d" % port, LOG_INFO)
    pid = act.proc.pid
    assert listening_lines(log, pid) == ["Listening on 127.0.0.1 port %d" % act.ports[0],
                                         "Listening on ::1 port %d" % act.ports[1]]
    sandbox.write_mbox("dora", MBOX)
    port = whole_session(sandbox, act.ports[1], host="::1", tls=tls)
    log.assert_logged("Connection from ::1:%d" % port, LOG_INFO)
    log.wait_for("Connection closed", count=2)
    assert act.stop() == 0
    # Nothing from the server itself after systemd-socket-activate's lines.
    assert act.stderr().split(b"\n")[-2].startswith(b"Execing ")


def test_activation_for_another_process_is_ignored(server, log):
    # A LISTEN_PID that is not ours: the server binds its own socket and
    # hands the variables to nobody.
    srv = server.start(env={"LISTEN_PID": "1", "LISTEN_FDS": "1"})
    with srv.connect() as c:
        assert c.greeting() == "+OK"
    assert srv.stop() == 0


def test_activated_descriptor_that_is_not_a_listening_socket(server, sandbox):
    # A shell hands /dev/null over as descriptor 3, naming itself in LISTEN_PID.
    script = "exec 3</dev/null; LISTEN_PID=$$ LISTEN_FDS=1 exec %s -x %s" % (
        server_binary(), sandbox.spool_tmp)
    p = subprocess.run(["sh", "-c", script], capture_output=True, timeout=10)
    assert p.returncode == 1
    assert p.stderr == (b"tollmar: socket activation: not a listening TCP socket, "
                        b"descriptor: 3\n")


# -- one connection on standard input (inetd mode, Accept=yes) ---------------------


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
def test_accept_yes_serves_whole_sessions(sandbox, log, tls_files, activated, dora, tls):
    cert, key = tls_files()
    args = ["-i"] + (["-s", "-c", cert, "-k", key] if tls else [])
    act = activated(["127.0.0.1"], args, accept=True)
    port = whole_session(sandbox, act.ports[0], tls=tls)
    line = log.assert_logged("Connection from 127.0.0.1:%d" % port, LOG_INFO)
    closed = log.assert_logged("Connection closed", LOG_INFO)
    assert closed.pid == line.pid  # one process for the one connection
    assert log.count(re.compile("^Listening on ")) == 0
    # A second connection gets a process of its own.
    sandbox.write_mbox("dora", MBOX)
    whole_session(sandbox, act.ports[0], tls=tls)
    log.wait_for("Connection closed", count=2)
    assert len({ln.pid for ln in log.find("Connection closed")}) == 2
    act.stop()  # systemd-socket-activate's own status, not the server's


@pytest.mark.parametrize("lines, status, closed", [
    ([b"USER dora", b"PASS dora-pw", b"QUIT"], 0, True),
    ([b"QUIT"], 0, False),
    ([b"USER dora", b"PASS wrong"], 1, False),
], ids=["quit-after-login", "quit-before-login", "refused-login"])
def test_inetd_mode_exit_statuses_and_log(server, sandbox, log, dora, lines, status, closed):
    client, proc = inetd(server, sandbox)
    with client:
        local_port = client.getsockname()[1]
        client.sendall(b"".join(line + b"\r\n" for line in lines))
        client.settimeout(10)
        data = b""
        while True:
            chunk = client.recv(4096)
            if not chunk:
                break
            data += chunk
    assert data.startswith(b"+OK")
    assert proc.wait(timeout=10) == status
    assert proc.stderr.read() == b""
    line = log.assert_logged("Connection from 127.0.0.1:%d" % local_port, LOG_INFO)
    assert line.pid == proc.pid
    if closed:
        assert log.assert_logged("Connection closed", LOG_INFO).pid == proc.pid
    else:
        log.wait_for(re.compile("^(Authenticated|login failed)") if lines[0] != b"QUIT"
                     else re.compile("^Connection from"))
        assert log.count("Connection closed") == 0
    assert not os.listdir(sandbox.run_dir)  # no pid file
    assert log.count(re.compile("^Listening on ")) == 0


def test_inetd_mode_closes_the_connection_at_quit_before_the_rewrite(server, sandbox, dora):
    # Standard output is the same socket: were it left open, the client would
    # wait for the end of the process rather than the end of the session.
    client, proc = inetd(server, sandbox)
    with client:
        client.settimeout(10)
        f = client.makefile("rb")
        assert f.readline() == b"+OK\r\n"
        client.sendall(b"USER dora\r\nPASS dora-pw\r\nDELE 1\r\nQUIT\r\n")
        assert [f.readline()[:3] for _ in range(4)] == [b"+OK"] * 4
        assert f.read() == b""
    assert proc.wait(timeout=10) == 0


def test_inetd_mode_without_a_socket(server, sandbox, log):
    p = subprocess.run([server.binary, "-i"], stdin=subprocess.DEVNULL, capture_output=True,
                       env=server._env(None), timeout=10)
    assert p.returncode == 1
    log.assert_logged("inetd mode: standard input is not a connected socket", LOG_ERR)
    assert log.count(re.compile("^(Listening on|Connection from) ")) == 0


def test_inetd_mode_takes_a_proxy_header_from_a_trusted_peer(server, sandbox, log, dora):
    client, proc = inetd(server, sandbox, "-r", "127.0.0.1")
    with client:
        local_port = client.getsockname()[1]
        client.settimeout(10)
        client.sendall(b"PROXY TCP4 198.51.100.20 127.0.0.1 5555 110\r\nQUIT\r\n")
        f = client.makefile("rb")
        assert [f.readline(), f.readline(), f.read()] == [b"+OK\r\n", b"+OK\r\n", b""]
    assert proc.wait(timeout=10) == 0
    line = log.assert_logged("Client 198.51.100.20:5555 via proxy 127.0.0.1:%d" % local_port,
                             LOG_INFO)
    assert line.pid == proc.pid
