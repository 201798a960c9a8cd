"""Shared fixtures of the end-to-end tests.

The tests run the real server binary (``$TOLLMAR_BIN``) as root.  To keep the
host untouched, the whole pytest process re-executes itself inside a private
mount namespace (``unshare --mount --propagation private``) before any test
runs; the servers it starts live in the same namespace, and every mount a
test makes disappears with it.  The process also becomes a child subreaper,
so that detached listeners and orphaned connection processes stay its
children.

Fixtures:

``sandbox``
    A :class:`pop3_sandbox.Sandbox`: test copies of the account files, an
    /etc overlay for /etc/pop3.allow and /etc/pop3.deny, tmpfs mounts for
    /home, /var/mail and the spool temp directory, and a captured /dev/log
    (``sandbox.syslog``).
``server``
    A :class:`pop3_server.ServerControl`: ``server.start(*options, tls=...)``
    runs a listening server, ``server.run(*options)`` runs the binary as a
    command.  Everything started is stopped after the test.
``log``
    Shortcut for ``sandbox.syslog``.
``tls_files``
    (cert_path, key_path) of a self-signed certificate made once per session.
``serving``
    Parametrizes a test over both ways of serving messages: the options for
    spool copies (none) and for serving in place from the maildrop (-X).

A typical test::

    def test_login(sandbox, server):
        alice = sandbox.add_user("alice", "secret")
        sandbox.write_mbox("alice", b"From a@b Mon Jan  1 00:00:00 2024\\n\\nhi\\n")
        srv = server.start()
        with srv.connect() as c:
            assert c.login("alice", "secret") == ("+OK", "+OK")
            assert c.cmd("QUIT") == "+OK"
        sandbox.syslog.assert_logged("Connection closed", LOG_INFO)
"""

import ctypes
import os
import shutil
import subprocess
import sys
import tempfile

import pytest

_NAMESPACE_MARK = "TOLLMAR_E2E_NAMESPACE"
_PR_SET_CHILD_SUBREAPER = 36


def _enter_private_namespace(config):
    """Re-runs this pytest command under unshare, unless already inside."""
    if os.environ.get(_NAMESPACE_MARK) == str(os.getpid()):
        return
    if os.geteuid() != 0:
        pytest.exit("the end-to-end tests must run as root", returncode=1)
    # Output capturing has already redirected descriptors 1 and 2; give the
    # new program the real ones.
    capman = config.pluginmanager.getplugin("capturemanager")
    if capman is not None:
        capman.stop_global_capturing()
    sys.stdout.flush()
    sys.stderr.flush()
    os.chdir(config.invocation_params.dir)
    env = dict(os.environ)
    env[_NAMESPACE_MARK] = str(os.getpid())  # unshare execs, so the pid stays
    argv = ["unshare", "--mount", "--propagation", "private",
            sys.executable, "-m", "pytest", *config.invocation_params.args]
    os.execvpe("unshare", argv, env)


@pytest.hookimpl(tryfirst=True)
def pytest_configure(config):
    _enter_private_namespace(config)
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(_PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        pytest.exit("prctl(PR_SET_CHILD_SUBREAPER) failed", returncode=1)


@pytest.fixture(scope="session")
def tls_files():
    """A function returning (cert, key) of a self-signed RSA certificate, made on first use."""
    made = {}
    folder = tempfile.mkdtemp(prefix="tollmar-e2e-tls-")

    def get():
        if not made:
            cert = os.path.join(folder, "cert.pem")
            key = os.path.join(folder, "key.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                            "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=localhost"],
                           check=True, capture_output=True)
            os.chmod(folder, 0o755)
            made["pair"] = (cert, key)
        return made["pair"]

    yield get
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture(params=["spool", "in_place"])
def serving(request):
    """Server options for each way of serving messages; see the module text."""
    return ("-X",) if request.param == "in_place" else ()


@pytest.fixture
def sandbox():
    """The per-test environment; see pop3_sandbox.Sandbox."""
    from pop3_sandbox import Sandbox

    box = Sandbox()
    yield box
    box.close()


@pytest.fixture
def log(sandbox):
    """The syslog capture of the sandbox (pop3_sandbox.Syslog)."""
    return sandbox.syslog


@pytest.fixture
def server(sandbox, tls_files):
    """Server control for this test; see pop3_server.ServerControl."""
    from pop3_server import ServerControl

    control = ServerControl(sandbox, tls_files)
    yield control
    control.close()
