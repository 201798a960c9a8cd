"""The TLS policy as a client meets it (openssl s_client), the start-up
check of the certificate and key, and their replacement while the server runs."""

import os
import re
import shutil
import ssl
import subprocess
import syslog

import pytest

from pop3_client import Pop3Client


def s_client(port, *options):
    """Runs openssl s_client against the server, says QUIT; (status, output)."""
    p = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % port, "-ign_eof",
                        *options], input=b"QUIT\r\n", capture_output=True, timeout=20)
    return p.returncode, (p.stdout + p.stderr).decode("latin-1")


@pytest.mark.parametrize("options,protocol,cipher", [
    (["-tls1_2", "-cipher", "ECDHE-RSA-AES128-GCM-SHA256"], "TLSv1.2",
     "ECDHE-RSA-AES128-GCM-SHA256"),
    (["-tls1_2", "-cipher", "ECDHE-RSA-CHACHA20-POLY1305"], "TLSv1.2",
     "ECDHE-RSA-CHACHA20-POLY1305"),
    # The client prefers AES128; the server's order decides.
    (["-tls1_2", "-cipher", "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-AES256-GCM-SHA384"],
     "TLSv1.2", "ECDHE-RSA-AES256-GCM-SHA384"),
    (["-tls1_3"], "TLSv1.3", None),
])
def test_accepted_handshakes(sandbox, server, options, protocol, cipher):
    srv = server.start(tls=True)
    status, out = s_client(srv.port, *options)
    assert "+OK" in out, out
    assert re.search(r"New, %s, Cipher is (\S+)" % re.escape(protocol), out), out
    if cipher is not None:
        assert "Cipher is %s" % cipher in out, out


@pytest.mark.parametrize("options", [
    # SECLEVEL=0 lets the client offer what it would refuse itself, so that
    # it is the server that says no.
    ["-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"],
    ["-tls1", "-cipher", "DEFAULT@SECLEVEL=0"],
    ["-tls1_2", "-cipher", "AES128-GCM-SHA256"],  # static RSA key exchange
    ["-tls1_2", "-cipher", "ECDHE-RSA-AES128-SHA256"],  # no AEAD
    ["-tls1_2", "-cipher", "DHE-RSA-AES128-GCM-SHA256"],
], ids=["tls1.1", "tls1.0", "static-rsa", "cbc", "dhe"])
def test_refused_handshakes(sandbox, server, log, options):
    srv = server.start(tls=True)
    status, out = s_client(srv.port, *options)
    assert status != 0, out
    assert "+OK" not in out
    log.assert_logged("SSL: failed to accept connection", syslog.LOG_ERR)


def make_other_key(folder):
    key = os.path.join(folder, "other-key.pem")
    subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                    "-out", key], check=True, capture_output=True)
    return key


@pytest.mark.parametrize("problem", ["missing-cert", "missing-key", "mismatch"])
def test_unusable_certificate_is_reported_at_start_up(sandbox, server, log, tls_files, problem):
    cert, key = tls_files()
    if problem == "missing-cert":
        cert = os.path.join(sandbox.base, "absent-cert.pem")
        expected = "SSL: failed to use certificate file: " + cert
    elif problem == "missing-key":
        key = os.path.join(sandbox.base, "absent-key.pem")
        expected = "SSL: failed to use key file: " + key
    else:
        key = make_other_key(sandbox.base)  # a key, but not the certificate's
        expected = "SSL: failed to use key file: " + key
    srv = server.start("-s", "-c", cert, "-k", key)
    log.assert_logged(expected, syslog.LOG_ERR)
    assert expected in srv.stderr().decode()
    # It keeps running: the files are looked at again for each connection.
    assert srv.status is None and srv.proc.poll() is None


def test_usable_certificate_reports_nothing(sandbox, server, log):
    srv = server.start(tls=True)
    with srv.connect() as c:
        assert c.greeting() == "+OK"
    assert not log.find(re.compile("^SSL"))
    assert srv.stderr() == b""


def test_intermediate_certificates_are_sent(sandbox, server):
    # -c names the full chain: the server's certificate followed by the
    # intermediate that signed it. A client that knows only the root must be
    # sent the intermediate to build the path.
    d = sandbox.base

    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True, cwd=d)

    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "root.key",
            "-out", "root.pem", "-days", "2", "-subj", "/CN=test root")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "mid.key", "-out", "mid.csr",
            "-subj", "/CN=test intermediate")
    with open(os.path.join(d, "ca.ext"), "w") as f:
        f.write("basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n")
    openssl("x509", "-req", "-in", "mid.csr", "-CA", "root.pem", "-CAkey", "root.key",
            "-CAcreateserial", "-out", "mid.pem", "-days", "2", "-extfile", "ca.ext")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "leaf.key", "-out", "leaf.csr",
            "-subj", "/CN=localhost")
    openssl("x509", "-req", "-in", "leaf.csr", "-CA", "mid.pem", "-CAkey", "mid.key",
            "-CAcreateserial", "-out", "leaf.pem", "-days", "2")
    with open(os.path.join(d, "fullchain.pem"), "wb") as f:
        for part in ("leaf.pem", "mid.pem"):
            f.write(open(os.path.join(d, part), "rb").read())
    srv = server.start("-s", "-c", os.path.join(d, "fullchain.pem"),
                       "-k", os.path.join(d, "leaf.key"))
    status, out = s_client(srv.port, "-CAfile", os.path.join(d, "root.pem"),
                           "-verify_return_error", "-showcerts")
    assert "+OK" in out, out
    assert "Verify return code: 0 (ok)" in out, out
    assert out.count("-----BEGIN CERTIFICATE-----") == 2, out


def make_pair(folder, name):
    """A new self-signed certificate and its key in folder: (cert, key, DER of the cert)."""
    cert = os.path.join(folder, name + "-cert.pem")
    key = os.path.join(folder, name + "-key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=" + name],
                   check=True, capture_output=True)
    with open(cert) as f:
        der = ssl.PEM_cert_to_DER_cert(f.read())
    return cert, key, der


def presented_certificate(srv):
    """The certificate a new connection is shown; None when it gets no greeting."""
    try:
        with Pop3Client(srv.port, tls=True) as c:
            der = c.peer_certificate()
            return der if c.greeting() == "+OK" else None
    except (ConnectionError, ssl.SSLError, OSError):
        return None


def replace_by_rename(source, target):
    shutil.copyfile(source, target + ".new")
    os.rename(target + ".new", target)


def rewrite_in_place(source, target):
    with open(source, "rb") as f, open(target, "r+b") as out:
        out.truncate(0)
        out.write(f.read())


def serving_first_pair(sandbox, server):
    """A TLS server on cert.pem and key.pem, copies of a new pair "first"; (server, cert
    path, key path, DER of the first certificate), checked to be presented."""
    d = sandbox.files_dir
    first_cert, first_key, first = make_pair(d, "first")
    cert, key = os.path.join(d, "cert.pem"), os.path.join(d, "key.pem")
    shutil.copyfile(first_cert, cert)
    shutil.copyfile(first_key, key)
    srv = server.start("-s", "-c", cert, "-k", key)
    assert presented_certificate(srv) == first
    return srv, cert, key, first


@pytest.mark.parametrize("replace", [replace_by_rename, rewrite_in_place],
                         ids=["renamed", "rewritten"])
def test_replaced_certificate_is_used_from_the_next_connection(sandbox, server, log, replace):
    srv, cert, key, first = serving_first_pair(sandbox, server)
    second_cert, second_key, second = make_pair(sandbox.files_dir, "second")
    assert presented_certificate(srv) == first  # unchanged files: the same context
    replace(second_cert, cert)
    replace(second_key, key)
    assert presented_certificate(srv) == second
    assert not log.find(re.compile("^SSL"))


def test_unusable_replacement_keeps_the_previous_certificate(sandbox, server, log):
    srv, cert, key, first = serving_first_pair(sandbox, server)
    replace_by_rename(make_other_key(sandbox.base), key)  # not the certificate's key
    before = log.count(re.compile("^Connection from"))
    for _ in range(3):
        assert presented_certificate(srv) == first
    # Logged once for the change, not once per connection.
    log.wait_for(re.compile("^Connection from"), count=before + 3)
    expected = ("SSL: failed to use key file: %s; "
                "connections keep the certificate and key loaded before" % key)
    assert [ln.message for ln in log.find(re.compile("^SSL"))] == [expected]
    log.assert_logged(expected, syslog.LOG_ERR)
    # A usable pair again is taken up at the next connection.
    second_cert, second_key, second = make_pair(sandbox.files_dir, "second")
    replace_by_rename(second_cert, cert)
    replace_by_rename(second_key, key)
    assert presented_certificate(srv) == second


def test_files_fixed_after_start_up_serve_the_next_connection(sandbox, server, log):
    d = sandbox.files_dir
    cert, key = os.path.join(d, "cert.pem"), os.path.join(d, "key.pem")
    srv = server.start("-s", "-c", cert, "-k", key)
    missing = "SSL: failed to use certificate file: " + cert
    log.assert_logged(missing, syslog.LOG_ERR)
    # Without a usable pair each connection tries the files again, and fails
    # with the same line.
    assert presented_certificate(srv) is None
    log.wait_for(missing, count=2)
    fixed_cert, fixed_key, fixed = make_pair(d, "fixed")
    replace_by_rename(fixed_cert, cert)
    replace_by_rename(fixed_key, key)
    assert presented_certificate(srv) == fixed


def server_random(port):
    """The 32 random bytes of the ServerHello a new TLS 1.3 connection receives."""
    status, out = s_client(port, "-tls1_3", "-msg")
    assert "+OK" in out, out
    lines = out.splitlines()
    start = next(n for n, line in enumerate(lines) if line.endswith(", ServerHello"))
    hello = bytes.fromhex("".join(lines[start + 1:start + 4]))
    # type (1), length (3), legacy version (2), then the random
    return hello[6:38]


def test_connections_draw_their_own_randomness(server):
    # Every connection process inherits the listener's TLS state: each must
    # still draw fresh random values (server random, key share), never replay
    # its parent's.
    srv = server.start(tls=True)
    randoms = [server_random(srv.port) for _ in range(3)]
    assert all(len(r) == 32 for r in randoms), randoms
    assert len(set(randoms)) == 3, randoms
