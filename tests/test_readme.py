"""README.md tells the truth: each Python example runs as pasted, in a fresh
interpreter, and prints what its comments say; the shell completion line it
gives works in a real bash."""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from support import MORVEL_PROGRAM, clean_env

README = Path(__file__).resolve().parents[1] / "README.md"


def python_examples():
    """(heading above the block, code) for every ```python block."""
    text = README.read_text(encoding="utf-8")
    examples, heading = [], ""
    for match in re.finditer(r"^(#+ [^\n]*)$|^```python\n(.*?)^```$", text, re.M | re.S):
        if match.group(1):
            heading = match.group(1).lstrip("# ").strip()
        else:
            examples.append((heading, match.group(2)))
    return examples


def expected_output(code):
    """The comment of each `print(...)  # text` line, in order; None when some
    print has no such comment (its output is then not checked)."""
    prints = [line for line in code.splitlines() if line.lstrip().startswith("print(")]
    comments = [re.search(r"\)  # (.*)$", line) for line in prints]
    return None if not all(comments) else [c.group(1) for c in comments]


def example_params():
    return [pytest.param(code, id=heading) for heading, code in python_examples()]


@pytest.mark.parametrize("code", example_params())
def test_example_runs_as_pasted(code, tmp_path):
    script = tmp_path / "example.py"
    script.write_text(code, encoding="utf-8")
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                            cwd=tmp_path, timeout=120,
                            env=clean_env(MORVEL_CONFIG_DIR=tmp_path / "config"))
    assert result.returncode == 0, result.stderr
    expected = expected_output(code)
    if expected is not None:
        assert result.stdout.splitlines() == expected


def completion_env(**extra):
    path = os.pathsep.join([str(MORVEL_PROGRAM.parent), os.environ.get("PATH", "")])
    return clean_env(PATH=path, **extra)


@pytest.mark.parametrize("shell", ["bash", "zsh", "fish"])
def test_completion_script_for_each_shell(shell):
    script = subprocess.run(["morvel"], capture_output=True, text=True, timeout=60,
                            env=completion_env(_MORVEL_COMPLETE=f"{shell}_source")).stdout
    assert "_MORVEL_COMPLETE" in script and f"{shell}_complete" in script


@pytest.mark.skipif(shutil.which("bash") is None, reason="needs bash")
@pytest.mark.parametrize("words, answer", [
    ("morvel lic", "license"),
    ("morvel update-data --ba", "--base"),
])
def test_bash_completion_answers_after_the_documented_line(words, answer):
    line = re.search(r'^eval "\$\(_MORVEL_COMPLETE=bash_source morvel\)".*$',
                     README.read_text(encoding="utf-8"), re.M)
    assert line, "README lost the bash completion line"
    session = (f"{line.group(0).split('#')[0]}\n"
               f"COMP_WORDS=({words}); COMP_CWORD={len(words.split()) - 1}\n"
               # what bash runs on <Tab>: the function registered for the command
               'complete -p morvel | grep -q -- "-F _morvel_completion morvel$"\n'
               "_morvel_completion morvel\n"
               'printf "%s\\n" "${COMPREPLY[@]}"\n')
    result = subprocess.run(["bash", "--norc", "--noprofile", "-c", session], capture_output=True,
                            text=True, timeout=60, env=completion_env())
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [answer]
