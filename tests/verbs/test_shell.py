import pexpect
import pytest

HINT = "请安装ipython:pip install ipython\n"


def test_embed_called_without_arguments(run, calls, record, monkeypatch):
    import IPython
    monkeypatch.setattr(IPython, "embed", record("embed", result="ignored"))
    result = run(["shell"])
    assert (result.exit_code, result.output) == (0, "")
    assert calls == [("embed", (), {})]


@pytest.mark.parametrize("args, code, text", [
    (["shell", "--help"], 0, "打开 ipython 并执行 vdx.init"),
    (["shell", "extra"], 2, "Got unexpected extra argument (extra)"),
    (["shell", "-h"], 2, "No such option: -h"),
])
def test_command_line(run, args, code, text):
    result = run(args)
    assert result.exit_code == code
    assert text in result.output


@pytest.fixture
def fake_ipython(tmp_path, child_env, morvel):
    """A PYTHONPATH folder whose `IPython` package shadows the installed one."""
    def make(init_source):
        package = tmp_path / "shadow" / "IPython"
        package.mkdir(parents=True)
        (package / "__init__.py").write_text(init_source)
        env = dict(child_env, PYTHONPATH=str(tmp_path / "shadow"))
        return morvel("shell", env=env)
    return make


@pytest.mark.parametrize("init_source", [
    pytest.param("raise ImportError('no IPython here')\n", id="import-error"),
    pytest.param("raise ModuleNotFoundError(\"No module named 'IPython'\")\n", id="subclass"),
    pytest.param("version = 'without embed'\n", id="no-embed"),
])
def test_hint_when_ipython_cannot_be_had(fake_ipython, init_source):
    result = fake_ipython(init_source)
    assert (result.returncode, result.stdout) == (0, HINT)
    assert result.stderr == ""


def test_other_faults_in_ipython_are_not_hidden(fake_ipython):
    result = fake_ipython("raise RuntimeError('broken package')\n")
    assert result.returncode == 1
    assert "RuntimeError: broken package" in result.stderr
    assert "请安装ipython" not in result.stdout


def test_real_ipython_session(spawn):
    child = spawn("shell", timeout=60, dimensions=(24, 200))
    child.expect(r"In \[1\]:")
    child.sendline("print(6 * 7)")
    child.expect("42")
    child.expect(r"In \[2\]:")
    child.sendline("exit")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0
    assert "请安装ipython" not in child.before
