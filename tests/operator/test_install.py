"""cmake --install: the tree it makes, with DESTDIR, another prefix and components."""

import glob
import os
import stat
import subprocess

import pytest

from install_tree import SOURCE, install

SERVER_FILES = {
    "usr/sbin/tollmar",
    "usr/sbin/tollmar-passwd",
    "usr/share/man/man8/tollmar.8",
    "usr/share/man/man8/tollmar-passwd.8",
    "usr/share/man/man5/tollmar-auth.5",
}
EXAMPLE_FILES = {
    "usr/share/doc/tollmar/tollmar.service",
    "usr/share/doc/tollmar/tollmar-hardened.service",
    "usr/share/doc/tollmar/tollmar.socket",
    "usr/share/doc/tollmar/tollmar-tls.socket",
    "usr/share/doc/tollmar/tollmar-inetd.socket",
    "usr/share/doc/tollmar/tollmar-inetd@.service",
    "usr/share/doc/tollmar/users.example",
} | {"usr/share/doc/tollmar/" + os.path.basename(f)
     for f in glob.glob(os.path.join(SOURCE, "contrib/fail2ban/*"))}


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def test_destdir_install_makes_exactly_the_tree(tmp_path):
    files = install(str(tmp_path), "/usr")
    assert files == SERVER_FILES | EXAMPLE_FILES
    assert set(os.listdir(tmp_path)) == {"usr"}  # nothing outside the prefix
    for f in files:
        executable = f.startswith("usr/sbin/")
        assert mode(tmp_path / f) == (0o755 if executable else 0o644), f
    for f in EXAMPLE_FILES | (SERVER_FILES - {"usr/sbin/tollmar", "usr/sbin/tollmar-passwd"}):
        name = os.path.basename(f)
        source = glob.glob(os.path.join(SOURCE, "contrib", "*", name))
        assert len(source) == 1 and open(source[0], "rb").read() == (tmp_path / f).read_bytes()
    # The installed programs are the real ones.
    v = subprocess.run([tmp_path / "usr/sbin/tollmar", "-v"], capture_output=True, timeout=10)
    assert v.stdout.startswith(b"tollmar ")
    h = subprocess.run([tmp_path / "usr/sbin/tollmar-passwd", "-h"], capture_output=True,
                       timeout=10)
    assert h.returncode == 0 and b"Usage: tollmar-passwd" in h.stdout


def test_component_installs_only_its_part(tmp_path):
    assert install(str(tmp_path / "s"), "/usr", component="server") == SERVER_FILES
    assert install(str(tmp_path / "e"), "/usr", component="examples") == EXAMPLE_FILES


def test_prefix_without_destdir(tmp_path):
    prefix = str(tmp_path / "opt" / "tollmar")
    files = install(None, prefix)
    expected = {os.path.relpath(prefix, "/") + "/" + f[len("usr/"):]
                for f in SERVER_FILES | EXAMPLE_FILES}
    assert files == expected


def test_example_authentication_file_admits_nobody():
    # Its comment lines must hold no ":" (any line with one is a login line),
    # and its only entry has a digest no password yields in practice.
    lines = open(os.path.join(SOURCE, "contrib/examples/users.example")).read().splitlines()
    entries = [ln for ln in lines if ":" in ln]
    assert all(not ln.startswith("#") for ln in entries)
    assert entries == ["ann:MD5-00000000000000000000000000000000:vmail:/srv/mail/ann"]
