"""Fixtures shared by the suites: fresh interpreters over a host tree that a
test controls, and the installed `morvel` program."""
import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

INSTALLED_MORVEL = Path(importlib.util.find_spec("morvel").submodule_search_locations[0])
MORVEL_PROGRAM = Path(sys.executable).with_name("morvel")


def clean_env(**extra):
    """The environment of a child process: no user config, no bytecode files."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("MORVEL", "morvel"))}
    env.update(PYTHONDONTWRITEBYTECODE="1")
    env.update({k: str(v) for k, v in extra.items()})
    return env


@pytest.fixture
def host_tree(tmp_path):
    """A copy of the installed package (native modules included) that a test may
    edit; children started with `run_python(..., tree)` import from it."""
    root = tmp_path / "site"
    shutil.copytree(INSTALLED_MORVEL, root / "morvel",
                    ignore=shutil.ignore_patterns("__pycache__"))
    return root


def run_python(code, tree=None, **env):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess."""
    extra = dict(env)
    if tree is not None:
        extra["PYTHONPATH"] = str(tree)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=clean_env(**extra), timeout=120,
                          cwd=str(tree) if tree is not None else None)


@pytest.fixture
def config_dir(tmp_path, monkeypatch):
    """A private settings folder for the host layer's credential store."""
    d = tmp_path / "config"
    monkeypatch.setenv("MORVEL_CONFIG_DIR", str(d))
    return d
