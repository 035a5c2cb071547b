"""The package as the README's one install command leaves it: pip has built the library from
these sources into the package, in a wheel for this platform, and loads it with no help from
the environment; KORVAL_CANLIB still names another build."""

import importlib.metadata
import os
import platform
import re
import subprocess
import sys

import korval_can
from korval_can import library

from conftest import DEF_FILE, SHARED_LIBRARY

WHICH_LIBRARY = "from korval_can import library; print(library.load().path)"


def exported(path: str) -> list:
    listing = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True,
                             text=True, check=True).stdout
    return sorted(line.split()[2] for line in listing.splitlines() if line)


def loaded_library(**variables: str) -> str:
    env = {"PATH": os.environ["PATH"], **variables}  # no LD_LIBRARY_PATH, no KORVAL_CANLIB
    return subprocess.run([sys.executable, "-c", WHICH_LIBRARY], env=env, capture_output=True,
                          text=True, check=True, timeout=30).stdout.strip()


def test_the_package_carries_the_library_in_a_platform_wheel():
    distribution = importlib.metadata.distribution("korval-can")
    wheel = distribution.read_text("WHEEL").splitlines()
    assert "Root-Is-Purelib: false" in wheel
    assert f"Tag: py3-none-linux_{platform.machine()}" in wheel
    inside = os.path.join(os.path.dirname(korval_can.__file__), library.LIBRARY_NAME)
    assert f"korval_can/{library.LIBRARY_NAME}" in [str(f) for f in distribution.files]
    with open(DEF_FILE) as definition:
        assert exported(inside) == sorted(re.findall(r"^ +(\w+) @\d+$", definition.read(),
                                                     re.MULTILINE))
    assert loaded_library() == inside


def test_korval_canlib_names_another_build():
    assert loaded_library(KORVAL_CANLIB=SHARED_LIBRARY) == SHARED_LIBRARY
