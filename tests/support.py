"""Helpers shared by the suites: fresh interpreters over a host tree that a
test controls, and the installed `morvel` program."""
import importlib.util
import os
import shutil
import site
import subprocess
import sys
from pathlib import Path

MORVEL_PROGRAM = Path(sys.executable).with_name("morvel")

NATIVE_MODULES = (
    "morvel.ostra.sdk.verbs",
    "morvel.ostra.mod.mod_quant_data.data_sources.barmill",
    "morvel.ostra.utils.zr_json",
    "morvel.ostra.mod.mod_optimizer2.mod",
)


def installed_library(name):
    """The file of an installed native module, wherever the install put it."""
    return Path(importlib.util.find_spec(name).origin)


def copy_installed_package(dest):
    """Copies the installed `morvel` package, native modules included, to `dest`.

    A regular install keeps the package in one folder; an editable install
    spreads it over several (the built libraries, and the source tree for the
    Python files), which are merged here the way the import system searches
    them: the first folder that holds a file wins.
    """
    folders = importlib.util.find_spec("morvel").submodule_search_locations
    for folder in reversed(list(folders)):
        shutil.copytree(folder, dest, dirs_exist_ok=True,
                        ignore=shutil.ignore_patterns("__pycache__"))
    return dest


def clean_env(**extra):
    """The environment of a child process: no user config, no bytecode files."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("MORVEL", "morvel"))}
    env.update(PYTHONDONTWRITEBYTECODE="1")
    env.update({k: str(v) for k, v in extra.items()})
    return env


# A child over a host tree starts without the `site` step, so that no import
# hook of this environment (an editable install adds one that takes `morvel`
# before any path entry) can shadow the tree; the tree and this environment's
# package folders are on PYTHONPATH instead, the tree first.
_PACKAGE_FOLDERS = [*site.getsitepackages(),
                    *([site.getusersitepackages()] if site.ENABLE_USER_SITE else [])]


def tree_command(code):
    """The command line of a fresh interpreter that runs `code` over a host tree."""
    return [sys.executable, "-S", "-c", code]


def tree_env(tree, **extra):
    """The environment of a child whose `morvel` package comes from `tree`."""
    path = os.pathsep.join([str(tree), *_PACKAGE_FOLDERS])
    return clean_env(PYTHONPATH=path, **extra)


def run_python(code, tree=None, **env):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess."""
    if tree is None:
        command, child_env, cwd = [sys.executable, "-c", code], clean_env(**env), None
    else:
        command, child_env, cwd = tree_command(code), tree_env(tree, **env), str(tree)
    return subprocess.run(command, capture_output=True, text=True, env=child_env,
                          timeout=120, cwd=cwd)
