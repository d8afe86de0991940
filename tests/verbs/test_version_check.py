"""The import-time version check, under an interpreter that reports another
version: a shim library takes the place of the interpreter's Py_GetVersion."""
import shutil
import subprocess
import sys
import textwrap

import pytest

from support import run_python

pytestmark = pytest.mark.skipif(shutil.which("cc") is None, reason="needs a C compiler")


# The library was built for the running interpreter; the shim reports the next
# minor version.
BUILT_FOR = "%d.%d" % sys.version_info[:2]
SHIM_VERSION = "%d.%d" % (sys.version_info[0], sys.version_info[1] + 1)
MESSAGE = (f"compile time Python version {BUILT_FOR} of module 'morvel.ostra.sdk.verbs' "
           f"does not match runtime version {SHIM_VERSION}")


@pytest.fixture(scope="module")
def version_shim(tmp_path_factory):
    folder = tmp_path_factory.mktemp("shim")
    source = folder / "shim.c"
    source.write_text(f'const char *Py_GetVersion(void) {{ return "{SHIM_VERSION}.4 (shim)"; }}\n')
    library = folder / "libshim.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(library), str(source)], check=True)
    probe = run_python("import sys; print(sys.version)", LD_PRELOAD=library)
    if not probe.stdout.startswith(f"{SHIM_VERSION}.4"):
        pytest.skip("this interpreter does not take Py_GetVersion from a shared libpython")
    return library


def test_other_version_warns_once_and_imports(host_tree, version_shim):
    result = run_python(textwrap.dedent("""
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import morvel.ostra.sdk.verbs as v
        print([(w.category.__name__, str(w.message)) for w in caught])
        print(v.cli.name)
    """), host_tree, LD_PRELOAD=version_shim)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [f"[('RuntimeWarning', \"{MESSAGE}\")]", "cli"]


def test_warning_made_an_error_fails_the_import(host_tree, version_shim):
    result = run_python("import morvel.ostra.sdk.verbs", host_tree, LD_PRELOAD=version_shim,
                        PYTHONWARNINGS="error::RuntimeWarning")
    assert result.returncode == 1
    assert f"RuntimeWarning: {MESSAGE}" in result.stderr
    assert "in init morvel.ostra.sdk.verbs" in result.stderr
