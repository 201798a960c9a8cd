"""The systemd units pass systemd-analyze verify against an installed tree, and the
hardened one is measurably more confined. (Their command lines are run end to
end in tests/e2e/test_service_units.py.)"""

import os
import re
import subprocess

import pytest

from install_tree import SOURCE, install

UNITS = ["tollmar.service", "tollmar-hardened.service"]


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """An install under DESTDIR, with the units' paths pointed into it."""
    root = tmp_path_factory.mktemp("root")
    install(str(root), "/usr")
    units = root / "units"
    units.mkdir()
    for name in UNITS:
        text = (root / "usr/share/doc/tollmar" / name).read_text()
        assert "ExecStart=/usr/sbin/tollmar" in text
        (units / name).write_text(text.replace("/usr/sbin/tollmar", str(root / "usr/sbin/tollmar")))
    return root, units


@pytest.mark.parametrize("name", UNITS)
def test_verify_is_clean(installed, name):
    root, units = installed
    # Documentation= is checked with man(1): the installed pages must be found.
    env = dict(os.environ, MANPATH=str(root / "usr/share/man"))
    p = subprocess.run(["systemd-analyze", "verify", str(units / name)], capture_output=True,
                       text=True, env=env, timeout=60)
    assert (p.returncode, p.stdout, p.stderr) == (0, "", "")


def exposure(path):
    p = subprocess.run(["systemd-analyze", "security", "--offline=yes", str(path)],
                       capture_output=True, text=True, timeout=60)
    m = re.search(r"Overall exposure level for \S+: ([0-9.]+)", p.stdout + p.stderr)
    assert m, p.stdout + p.stderr
    return float(m.group(1))


def test_hardened_unit_is_confined(installed):
    _, units = installed
    plain = exposure(units / "tollmar.service")
    hardened = exposure(units / "tollmar-hardened.service")
    # systemd calls 2.0 to 4.9 "OK"; the plain unit is "UNSAFE" as any
    # unconfined root service.
    assert hardened < 3.0 < plain
