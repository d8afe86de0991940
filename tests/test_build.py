"""What each built library exports and what it needs from the system."""
import os
import re
import shutil
import subprocess

import pytest

from support import NATIVE_MODULES, installed_library


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm from binutils")
@pytest.mark.parametrize("module", NATIVE_MODULES)
def test_only_the_init_function_is_exported(module):
    name = module.rpartition(".")[2]
    library = installed_library(module)
    listing = subprocess.run(["nm", "-D", "--defined-only", str(library)],
                             capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == [f"PyInit_{name}"]


# The newest symbol version of each system library that manylinux_2_28 allows.
MANYLINUX_2_28 = {"GLIBC": (2, 28), "GLIBCXX": (3, 4, 24), "CXXABI": (1, 3, 11), "GCC": (7, 0, 0)}


@pytest.mark.skipif(shutil.which("objdump") is None, reason="needs objdump from binutils")
@pytest.mark.skipif("MORVEL_SANITIZED" in os.environ,
                    reason="sanitized builds link the sanitizer runtimes, which no wheel ships")
@pytest.mark.parametrize("module", NATIVE_MODULES)
def test_needs_no_symbol_newer_than_the_wheel_policy(module):
    listing = subprocess.run(["objdump", "-T", str(installed_library(module))],
                             capture_output=True, text=True, check=True).stdout
    needed = set(re.findall(r"\b(GLIBC|GLIBCXX|CXXABI|GCC)_([0-9.]+)\b", listing))
    too_new = sorted(f"{lib}_{version}" for lib, version in needed
                     if tuple(map(int, version.split("."))) > MANYLINUX_2_28[lib])
    assert not too_new
