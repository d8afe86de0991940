"""Each native module exports its init function and nothing else."""
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


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm from binutils")
@pytest.mark.parametrize("name, folder", MODULES.items())
def test_only_the_init_function_is_exported(name, folder):
    [library] = (INSTALLED_MORVEL / "ostra" / folder).glob(name + sysconfig.get_config_var("EXT_SUFFIX"))
    listing = subprocess.run(["nm", "-D", "--defined-only", str(library)],
                             capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == [f"PyInit_{name}"]
