"""Fixtures shared by the suites."""
import pytest

from support import copy_installed_package


@pytest.fixture
def host_tree(tmp_path):
    """A copy of the installed package (native modules included) that a test may
    edit; children started with `support.run_python(..., tree)` import from it."""
    root = tmp_path / "site"
    copy_installed_package(root / "morvel")
    return root


@pytest.fixture
def config_dir(tmp_path, monkeypatch):
    """A private settings folder for the host layer's credential store."""
    d = tmp_path / "config"
    monkeypatch.setenv("MORVEL_CONFIG_DIR", str(d))
    return d
