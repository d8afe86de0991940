import os
import signal
import subprocess
import sys

import pexpect
import pytest
from click.testing import CliRunner

# The installed program, next to the interpreter running the tests.
MORVEL = os.path.join(os.path.dirname(sys.executable), "morvel")

# Settings a developer may have in the real environment; they would win over
# what the tests store.
_STORED_NAMES = ("MORVEL_LICENSE", "MORVEL_APPKEY_LICENSE", "morvelsdk_env")


@pytest.fixture(autouse=True)
def private_config(tmp_path, monkeypatch):
    """Keep this process's settings store away from the user's real one."""
    config = tmp_path / "config"
    monkeypatch.setenv("MORVEL_CONFIG_DIR", str(config))
    for name in _STORED_NAMES:
        monkeypatch.delenv(name, raising=False)
    return config


@pytest.fixture
def verbs():
    from morvel.ostra.sdk import verbs
    return verbs


@pytest.fixture
def run(verbs):
    """Invoke `morvel <args>` in process through click's test runner."""
    runner = CliRunner()

    def invoke(args, input=None):
        return runner.invoke(verbs.cli, args, input=input)

    return invoke


@pytest.fixture
def calls():
    """One ordered log shared by every recorder of a test."""
    return []


@pytest.fixture
def record(calls):
    """record(name, result) makes a stand-in host function that logs its
    calls into `calls` and returns `result` (or result(*args) if callable)."""
    def make(name, result=None):
        def recorder(*args, **kwargs):
            calls.append((name, args, kwargs))
            return result(*args) if callable(result) else result
        return recorder
    return make


@pytest.fixture
def morvel_program():
    if not os.path.exists(MORVEL):
        pytest.skip("the morvel program is not installed next to this interpreter")
    return MORVEL


@pytest.fixture
def child_env(tmp_path, morvel_program):
    """Environment for a real `morvel` process: settings, home and IPython
    profile all under the test's temporary folder."""
    env = {k: v for k, v in os.environ.items() if k not in _STORED_NAMES}
    env.pop("XDG_CONFIG_HOME", None)
    for key, sub in (("MORVEL_CONFIG_DIR", "config"), ("HOME", "home"),
                     ("IPYTHONDIR", "ipython")):
        path = tmp_path / sub
        path.mkdir(exist_ok=True)
        env[key] = str(path)
    env["LANG"] = env["LC_ALL"] = "C.UTF-8"
    env["PYTHONIOENCODING"] = "utf-8"
    return env


@pytest.fixture
def morvel(child_env, morvel_program):
    """Run the real program to its end, without a terminal."""
    def run_program(*args, env=None):
        return subprocess.run([morvel_program, *args], env=env or child_env,
                              capture_output=True, text=True, stdin=subprocess.DEVNULL,
                              timeout=60)
    return run_program


@pytest.fixture
def spawn(child_env, morvel_program):
    """Start the real program on a pseudo-terminal."""
    def start(*args, timeout=30, **kwargs):
        # A suite started in the background inherits an ignored SIGINT, which
        # Python would keep; a user's terminal delivers Ctrl-C.
        return pexpect.spawn(morvel_program, list(args), env=child_env, encoding="utf-8",
                             timeout=timeout,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
                             **kwargs)
    return start
