"""Builds the kernel's own C++ unit tests and runs them.

MORVEL_NATIVE_TEST_FLAGS adds compiler flags (the sanitizer run sets it)."""
import os
import shlex
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
def test_kernel_unit_tests(tmp_path):
    exe = tmp_path / "kernel_test"
    flags = shlex.split(os.environ.get("MORVEL_NATIVE_TEST_FLAGS", ""))
    subprocess.run(["g++", "-std=c++17", "-O1", "-g", "-Wall", "-Wextra", "-Werror",
                    "-ffp-contract=off", *flags, str(ROOT / "tests/native/kernel_test.cpp"),
                    str(ROOT / "src/barmill/kernel.cpp"), "-o", str(exe)], check=True)
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.rstrip().endswith(" passed, 0 failed"), run.stdout
