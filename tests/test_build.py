"""What each built library exports and what it needs from the system."""
import re
import shutil
import subprocess
import sysconfig

import pytest

from support import INSTALLED_MORVEL

MODULES = {
    "verbs": "sdk",
    "barmill": "mod/mod_quant_data/data_sources",
    "zr_json": "utils",
    "mod": "mod/mod_optimizer2",
}


def library(name, folder):
    [path] = (INSTALLED_MORVEL / "ostra" / folder).glob(name + sysconfig.get_config_var("EXT_SUFFIX"))
    return path


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm from binutils")
@pytest.mark.parametrize("name, folder", MODULES.items())
def test_only_the_init_function_is_exported(name, folder):
    listing = subprocess.run(["nm", "-D", "--defined-only", str(library(name, folder))],
                             capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == [f"PyInit_{name}"]


# The newest symbol version of each system library that manylinux_2_28 allows.
MANYLINUX_2_28 = {"GLIBC": (2, 28), "GLIBCXX": (3, 4, 24), "CXXABI": (1, 3, 11), "GCC": (7, 0, 0)}


@pytest.mark.skipif(shutil.which("objdump") is None, reason="needs objdump from binutils")
@pytest.mark.parametrize("name, folder", MODULES.items())
def test_needs_no_symbol_newer_than_the_wheel_policy(name, folder):
    listing = subprocess.run(["objdump", "-T", str(library(name, folder))],
                             capture_output=True, text=True, check=True).stdout
    needed = set(re.findall(r"\b(GLIBC|GLIBCXX|CXXABI|GCC)_([0-9.]+)\b", listing))
    too_new = sorted(f"{lib}_{version}" for lib, version in needed
                     if tuple(map(int, version.split("."))) > MANYLINUX_2_28[lib])
    assert not too_new
