"""Each native module exports its init function and nothing else."""
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
