"""The server process: options, daemon mode, the listener and connection processes."""

import os
import re
import signal

import pytest

from pop3_sandbox import LOG_ERR, LOG_INFO, LOG_MAIL, read_bytes, write_file
from pop3_server import is_alive, server_binary, wait_until

# The help text is kept once, beside the unit tests of the option parser.
HELP_GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "config",
                           "help.golden")

DEFAULT_CERT = "/etc/tollmar/cert.pem"
DEFAULT_KEY = "/etc/tollmar/key.pem"


def help_text(prog, cert=DEFAULT_CERT, key=DEFAULT_KEY):
    with open(HELP_GOLDEN, encoding="utf-8") as f:
        text = f.read()
    return text.replace("{prog}", prog).replace("{cert}", cert).replace("{key}", key).encode()


# -- options -----------------------------------------------------------------


def test_help_byte_for_byte(server):
    r = server.run("-h")
    assert (r.status, r.stderr) == (0, b"")
    assert r.stdout == help_text(server.binary)


@pytest.mark.parametrize("args,cert,key", [
    (["-c", "/x/cert.pem", "-h"], "/x/cert.pem", DEFAULT_KEY),
    (["-k", "/x/key.pem", "-c", "rel.pem", "-h"], "rel.pem", "/x/key.pem"),
    (["-h", "-c", "/x/cert.pem"], DEFAULT_CERT, DEFAULT_KEY),
    (["-h", "-Z"], DEFAULT_CERT, DEFAULT_KEY),
])
def test_help_shows_options_read_before_it(server, args, cert, key):
    r = server.run(*args, argv0="tollmar")
    assert (r.status, r.stderr) == (0, b"")
    assert r.stdout == help_text("tollmar", cert, key)


@pytest.mark.parametrize("args", [["-v"], ["-v", "-Z"], ["-d", "-v", "-m", "/nonexistent"]])
def test_version(server, sandbox, args):
    r = server.run(*args)
    assert (r.status, r.stdout, r.stderr) == (0, b"tollmar 0.7.6\n", b"")
    assert not os.listdir(sandbox.run_dir)


@pytest.mark.parametrize("args,getopt_line", [
    (["-Z"], "invalid option -- 'Z'"),
    (["-Z", "-h"], "invalid option -- 'Z'"),
    (["-p"], "option requires an argument -- 'p'"),
    (["-d", "-f"], "option requires an argument -- 'f'"),
])
def test_bad_options(server, sandbox, log, args, getopt_line):
    r = server.run(*args, argv0="./sbin/tollmar")
    assert r.status == 1
    assert r.stdout == b""
    assert r.stderr == ("./sbin/tollmar: %s\n./sbin/tollmar: unknown option - try '-h'\n"
                        % getopt_line).encode()
    assert log.lines == []  # nothing of start-up has happened


def test_mail_spool_dir_errors(server, sandbox, log):
    missing = os.path.join(sandbox.files_dir, "missing")
    plain = write_file(os.path.join(sandbox.files_dir, "plain"), "x")
    r = server.run("-m", missing, "-v", argv0="tollmar")
    assert (r.status, r.stdout) == (1, b"")
    assert r.stderr == ("tollmar: %s: No such file or directory\n" % missing).encode()
    r = server.run("-m", plain, "-v", argv0="tollmar")
    assert (r.status, r.stdout) == (1, b"")
    assert r.stderr == ("tollmar: %s is not a directory\n" % plain).encode()
    assert log.lines == []


def test_options_after_first_plain_word_are_ignored(server, log):
    # "-Z" after a plain word is never looked at, so the server starts.
    srv = server.start("word", "-Z")
    with srv.connect() as c:
        assert c.greeting() == "+OK"
    assert srv.stop() == 0


# -- daemon mode and the pid file -------------------------------------------------


def test_daemon_writes_pid_file_and_sigterm_removes_it(server, sandbox, log):
    srv = server.start(daemon=True)  # asserts that -d returned 0 at once
    text = read_bytes(srv.pid_file)
    assert re.fullmatch(rb"[1-9][0-9]*", text), text
    assert int(text) == srv.pid
    assert is_alive(srv.pid)
    assert os.readlink("/proc/%d/cwd" % srv.pid) == "/"
    with srv.connect() as c:
        assert c.greeting() == "+OK"
    assert srv.stop() == 0
    assert not os.path.exists(srv.pid_file)


def test_pid_file_needs_daemon_mode(server, sandbox):
    pid_file = os.path.join(sandbox.run_dir, "tollmar.pid")
    srv = server.start("-f", pid_file)
    with srv.connect() as c:
        assert c.greeting() == "+OK"
    assert srv.stop() == 0
    assert os.listdir(sandbox.run_dir) == []


def test_sigterm_to_daemon_listener_leaves_connections_running(server, log):
    srv = server.start(daemon=True)
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        kids = wait_until(srv.connection_pids, "the connection process")
        assert srv.stop() == 0
        assert not os.path.exists(srv.pid_file)
        assert all(is_alive(k) for k in kids)
        assert c.cmd("NOOP").startswith(("+OK", "-ERR"))  # still answered
        assert c.cmd("QUIT") == "+OK"
        assert c.read_all() == b""


def test_sigterm_to_connection_process_keeps_pid_file(server, log):
    srv = server.start(daemon=True)
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        [kid] = wait_until(srv.connection_pids, "the connection process")
        os.kill(kid, signal.SIGTERM)
        assert c.read_all() == b""  # the process ended and closed the connection
        wait_until(lambda: not is_alive(kid), "the connection process to end")
    assert read_bytes(srv.pid_file) == str(srv.pid).encode()
    assert is_alive(srv.pid)
    # The listener still serves.
    with srv.connect() as c:
        assert c.greeting() == "+OK"
    assert srv.stop() == 0
    assert not os.path.exists(srv.pid_file)


def test_sigterm_to_foreground_listener(server):
    srv = server.start()
    assert srv.stop() == 0


# -- the listening socket --------------------------------------------------------


def test_port_in_use_any_address(server, sandbox, log):
    first = server.start()
    # Without -l the wildcard address collides with the first server's port.
    second = server.start("-p", first.port, defaults=False, wait_listening=False,
                          env={"LISTENQ": "16"})
    assert second.wait() == 1
    assert second.stderr() == b"tcp_listen: Address already in use\n"
    log.assert_logged("failed to bind socket: (any), %d: Address already in use" % first.port,
                      LOG_ERR)
    assert first.stop() == 0


def test_port_in_use_daemon_keeps_pid_file(server, sandbox, log):
    first = server.start()
    pid_file = os.path.join(sandbox.run_dir, "second.pid")
    second = server.start("-p", first.port, "-l", "127.0.0.1", "-d", "-f", pid_file,
                          defaults=False, wait_listening=False)
    assert second.proc.wait(timeout=10) == 0  # the starting process returns at once
    line = log.assert_logged(
        "failed to bind socket: 127.0.0.1, %d: Address already in use" % first.port, LOG_ERR)
    assert read_bytes(pid_file) == str(line.pid).encode()
    wait_until(lambda: not is_alive(line.pid), "the detached listener to end")
    assert first.stop() == 0


def test_unresolvable_listen_address(server, log):
    srv = server.start("-l", "no-such-host.invalid", wait_listening=False)
    assert srv.wait() == 1
    line = log.wait_for(re.compile(r"^getaddrinfo failed: no-such-host\.invalid, %d: " % srv.port))
    assert (line.priority, line.facility, line.ident) == (LOG_ERR, LOG_MAIL, "tollmar")
    assert srv.stderr().startswith(b"getaddrinfo: ")
    assert srv.stderr().count(b"\n") == 1


def test_one_connection_line_per_connection(server, log):
    srv = server.start()
    ports = []
    for _ in range(3):
        with srv.connect() as c:
            ports.append(c.sock.getsockname()[1])
            assert c.greeting() == "+OK"
            assert c.cmd("QUIT") == "+OK"
            assert c.read_all() == b""
    for port in ports:
        line = log.assert_logged("Connection from 127.0.0.1:%d" % port, LOG_INFO)
        assert line.pid == srv.pid  # logged by the listener, before fork
        assert line.ident == "tollmar"
    assert log.count(re.compile("^Connection from ")) == 3
    assert srv.stop() == 0


def test_ipv6_peer_logged_in_its_own_form(server, log):
    srv = server.start(address="::1")
    from pop3_client import Pop3Client
    with Pop3Client(srv.port, host="::1") as c:
        port = c.sock.getsockname()[1]
        assert c.greeting() == "+OK"
    log.assert_logged("Connection from ::1:%d" % port, LOG_INFO)
    assert srv.stop() == 0


def test_ipv4_peer_on_dual_stack_socket_logged_as_dotted_quad(server, log):
    srv = server.start(address="::")
    with srv.connect() as c:
        port = c.sock.getsockname()[1]
        assert c.greeting() == "+OK"
    log.assert_logged("Connection from 127.0.0.1:%d" % port, LOG_INFO)
    assert srv.stop() == 0


def test_listener_survives_vanished_clients(server, log):
    srv = server.start()
    for _ in range(5):
        c = srv.connect()
        c.close()
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        assert c.cmd("QUIT") == "+OK"
    assert log.count("failed to accept connection") == 0
    assert srv.stop() == 0


def test_tls_from_the_first_byte(server, log):
    srv = server.start(tls=True)
    with srv.connect() as c:  # handshake first, then the greeting inside TLS
        port = c.sock.getsockname()[1]
        assert c.greeting() == "+OK"
        assert c.cmd("QUIT") == "+OK"
    log.assert_logged("Connection from 127.0.0.1:%d" % port, LOG_INFO)
    # A plain client gets no plain-text greeting from a TLS server.
    with srv.connect(tls=False) as c:
        c.send_line("QUIT")
        assert not c.read_all().startswith(b"+OK")
    assert srv.stop() == 0


def test_connection_closed_after_quit_in_transaction_state(server, sandbox, log):
    sandbox.add_user("alice", "secret")
    sandbox.write_mbox("alice", b"From a@b Mon Jan  1 00:00:00 2024\nSubject: x\n\nhi\n")
    srv = server.start()
    with srv.connect() as c:
        assert c.login("alice", "secret") == ("+OK", "+OK")
        [kid] = srv.connection_pids()
        assert c.cmd("QUIT") == "+OK"
        assert c.read_all() == b""
    line = log.assert_logged("Connection closed", LOG_INFO)
    assert line.pid == kid
    assert log.count("Connection closed") == 1
    assert srv.stop() == 0


def test_sigterm_after_login_cleans_up_and_keeps_pid_file(server, sandbox, log):
    sandbox.add_user("alice", "secret")
    mbox = b"From a@b Mon Jan  1 00:00:00 2024\nSubject: x\n\nhi\n"
    path = sandbox.write_mbox("alice", mbox)
    srv = server.start(daemon=True)
    with srv.connect() as c:
        assert c.login("alice", "secret") == ("+OK", "+OK")
        assert sandbox.lock_files() == ["alice.lock"]
        assert len(sandbox.spool_files()) == 1
        assert c.cmd("DELE 1").startswith("+OK")
        [kid] = srv.connection_pids()
        os.kill(kid, signal.SIGTERM)
        assert c.read_all() == b""
        wait_until(lambda: not is_alive(kid), "the connection process to end")
    # The at-exit clean-up ran: no lock, no spool file, the maildrop untouched.
    assert sandbox.lock_files() == []
    assert sandbox.spool_entries() == []
    assert read_bytes(path) == mbox
    assert read_bytes(srv.pid_file) == str(srv.pid).encode()
    assert log.count("Connection closed") == 0
    assert srv.stop() == 0


# -- log lines on standard error (-e) -------------------------------------------


@pytest.mark.parametrize("copy", [True, False], ids=["with-e", "without-e"])
def test_foreground_server_copies_log_lines_to_stderr_with_e(sandbox, server, log, copy):
    sandbox.add_user("alice", "s3cret")
    sandbox.write_mbox("alice", b"From a@example.org Thu Dec 10 09:00:00 2026\n\nhello\n")
    srv = server.start(*(["-e"] if copy else []))
    with srv.connect() as c:
        assert c.login("alice", "s3cret") == ("+OK", "+OK")
        assert c.cmd("QUIT") == "+OK"
    # syslog gets every line either way; each copy on standard error is
    # written before the next line goes to syslog.
    log.assert_logged("Authenticated alice", LOG_INFO)
    log.assert_logged("Connection closed", LOG_INFO)
    if copy:
        text = wait_until(
            lambda: re.search(rb"^tollmar\[(\d+)\]: Connection closed\n", srv.stderr(), re.M)
            and srv.stderr(), "the session's last log line on standard error")
        session = re.search(rb"^tollmar\[(\d+)\]: Authenticated alice\n", text, re.M)
        assert session is not None, text
        assert int(session.group(1)) != srv.pid  # logged by the connection process
        listener = re.search(rb"^tollmar\[(\d+)\]: Connection from 127\.0\.0\.1:\d+\n", text, re.M)
        assert listener is not None and int(listener.group(1)) == srv.pid, text
    else:
        assert b"Authenticated" not in srv.stderr()


def test_listener_binds_every_library_at_start_and_keeps_its_name(server):
    # The listener runs itself again with LD_BIND_NOW set, so that connection
    # processes inherit every function bound; ps, top and pgrep must still
    # show it, and its connection processes, under the binary's own name.
    srv = server.start()
    with open("/proc/%d/environ" % srv.pid, "rb") as f:
        assert b"LD_BIND_NOW=1" in f.read().split(b"\0")
    name = os.path.basename(os.path.realpath(server_binary()))[:15]
    with srv.connect() as c:
        assert c.greeting() == "+OK"
        connection = wait_until(lambda: srv.connection_pids(), "the connection process")[0]
        for pid in (srv.pid, connection):
            with open("/proc/%d/comm" % pid) as f:
                assert f.read().strip() == name
