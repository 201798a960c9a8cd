"""Installing the build into a temporary folder, for the checks of the tree and the units."""

import os
import subprocess

BUILD = os.environ.get("TOLLMAR_BUILD_DIR", "")
SOURCE = os.environ.get("TOLLMAR_SOURCE_DIR") or os.path.abspath("../..")


def install(destdir, prefix="/usr", component=None):
    """Runs cmake --install of the build with DESTDIR=destdir; returns the files made, relative."""
    assert os.path.isfile(os.path.join(BUILD, "cmake_install.cmake")), \
        "TOLLMAR_BUILD_DIR must name a configured build folder"
    argv = ["cmake", "--install", BUILD, "--prefix", prefix]
    if component:
        argv += ["--component", component]
    env = dict(os.environ)
    if destdir is not None:
        env["DESTDIR"] = destdir
    subprocess.run(argv, check=True, capture_output=True, env=env, timeout=120)
    root = destdir if destdir is not None else "/"
    found = set()
    for folder, _, files in os.walk(os.path.join(root, prefix.lstrip("/"))):
        for f in files:
            found.add(os.path.relpath(os.path.join(folder, f), root))
    return found
