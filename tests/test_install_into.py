"""scripts/install_into.py puts the four libraries, and only them, into an SDK
tree that has a host layer of its own, and they run against that layer."""
import shutil
import subprocess
import sys
import textwrap
from importlib.machinery import EXTENSION_SUFFIXES
from pathlib import Path

import pytest

from support import NATIVE_MODULES, copy_installed_package, run_python

SCRIPT = Path(__file__).resolve().parents[1] / "scripts" / "install_into.py"


def install(tree):
    return subprocess.run([sys.executable, str(SCRIPT), str(tree)], capture_output=True,
                          text=True, timeout=60)


def files_under(tree):
    return {p.relative_to(tree): p.read_bytes() for p in tree.rglob("*") if p.is_file()}


@pytest.fixture
def sdk_tree(tmp_path):
    """A host layer of its own: no native modules but Python modules of the same
    names, and a constant that tells it apart from the one installed here."""
    tree = tmp_path / "sdk"
    package = copy_installed_package(tree / "morvel")
    for library in [p for p in package.rglob("*") if p.name.endswith(tuple(EXTENSION_SUFFIXES))]:
        library.unlink()
    # The SDK ships Python modules under the names that the libraries take over.
    for module in NATIVE_MODULES:
        package.joinpath(*module.split(".")[1:]).with_suffix(".py").write_text(
            "raise ImportError('the SDK module was imported, not the library')\n")
    const = package / "ostra/sdk/const.py"
    const.write_text(const.read_text() + '\nDEFAULT_BUNDLE_PATH = "/the/sdk/own/bundle"\n')
    return tree


def test_installs_the_libraries_into_a_tree_that_keeps_its_host_layer(sdk_tree):
    before = files_under(sdk_tree)
    for _ in range(2):  # a second run replaces the libraries in place
        done = install(sdk_tree)
        assert done.returncode == 0, done.stderr
    after = files_under(sdk_tree)
    added = {p for p in after.keys() - before.keys() if p.suffix != ".pyi"}
    assert len(added) == len(NATIVE_MODULES)
    assert {p.parent.joinpath(p.name.split(".")[0]).as_posix() for p in added} == {
        m.replace(".", "/") for m in NATIVE_MODULES}
    assert all(p.name.endswith(tuple(EXTENSION_SUFFIXES)) for p in added)
    assert all(after[p] == content for p, content in before.items())

    result = run_python(textwrap.dedent(f"""
        import datetime, types, numpy as np
        import {", ".join(NATIVE_MODULES)}
        from morvel.ostra.sdk import verbs
        from morvel.ostra.mod.mod_quant_data.data_sources import barmill
        from morvel.ostra.utils import zr_json
        from morvel.ostra.mod.mod_optimizer2 import mod
        from morvel.ostra import interface
        for m in (verbs, barmill, zr_json, mod):
            assert m.__file__.startswith({str(sdk_tree)!r}) and m.__file__.endswith(".so"), m.__file__
        print(verbs.DEFAULT_BUNDLE_PATH)
        bars = np.zeros(4, dtype=[("orig_time", "i8"), ("volume", "i8")])
        bars["volume"] = 1
        print(barmill.resample_bars(types.SimpleNamespace(type="CS"), bars, None, 2)["volume"])
        day = datetime.date(2024, 1, 2)
        print(zr_json.convert_json_to_dict(zr_json.convert_dict_to_json({{"d": day}})) == {{"d": day}})
        print(issubclass(mod.Optimizer2Mod, interface.AbstractMod))
    """), sdk_tree)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["/the/sdk/own/bundle", "[2 2]", "True", "True"]


def test_a_tree_without_the_package_folders_is_left_untouched(sdk_tree):
    shutil.rmtree(sdk_tree / "morvel/ostra/utils")
    before = files_under(sdk_tree)
    done = install(sdk_tree)
    assert done.returncode == 1
    assert "package folders are missing" in done.stderr and "morvel/ostra/utils" in done.stderr
    assert files_under(sdk_tree) == before
