"""Helpers shared by the suites: fresh interpreters over a host tree that a
test controls, and the installed `morvel` program."""
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

INSTALLED_MORVEL = Path(importlib.util.find_spec("morvel").submodule_search_locations[0])
MORVEL_PROGRAM = Path(sys.executable).with_name("morvel")


def clean_env(**extra):
    """The environment of a child process: no user config, no bytecode files."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("MORVEL", "morvel"))}
    env.update(PYTHONDONTWRITEBYTECODE="1")
    env.update({k: str(v) for k, v in extra.items()})
    return env


def run_python(code, tree=None, **env):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess."""
    extra = dict(env)
    if tree is not None:
        extra["PYTHONPATH"] = str(tree)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=clean_env(**extra), timeout=120,
                          cwd=str(tree) if tree is not None else None)
