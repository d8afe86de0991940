"""`morvel update-data`: options, the empty selection, host calls and exit status."""
import subprocess

import pytest
from click.testing import CliRunner

import morvel.ostra.alpha.bundle as bundle_module
import morvel.ostra.alpha.utils.scripts as scripts_module
import morvel.ostra.utils.login as login_module
import morvel.ostra.sdk.verbs as verbs
from support import MORVEL_PROGRAM, clean_env


class Host:
    """Records the host calls of one invocation, in order."""

    def __init__(self, monkeypatch, zuvazuv=True, exist_file=True):
        self.calls = []
        results = {"update_bundle_from_zuvazuv": zuvazuv,
                   "update_bundle_from_exist_file": exist_file}
        for module, name in [(login_module, "init_vdx"),
                             (bundle_module, "update_bundle_from_zuvazuv"),
                             (bundle_module, "update_bundle_from_exist_file"),
                             (scripts_module, "check_tick")]:
            monkeypatch.setattr(module, name, self.recorder(name, results.get(name)))

    def recorder(self, name, result):
        def record(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return result
        return record

    def names(self):
        return [c[0] for c in self.calls]


def invoke(*args):
    return CliRunner().invoke(verbs.cli, ["update-data", *args])


@pytest.fixture
def bundle_path(tmp_path):
    return str(tmp_path / "data")


@pytest.mark.parametrize("options", [[], ["--rebuild"], ["--with-derivatives"], ["-c", "5"]])
def test_empty_selection_prints_help_and_runs_no_update(monkeypatch, options):
    host = Host(monkeypatch)
    result = invoke(*options)
    assert result.exit_code == 0, result.output
    assert host.names() == ["init_vdx"]
    assert result.output.startswith("Usage:  [OPTIONS]\n\n  更新运行回测所需的历史数据\n\n  例如：\n")
    assert "  * 更新已下载的分钟线和tick数据： morvel update-data --smart\n" in result.output
    assert "--rebuild" in result.output


def test_empty_selection_callback_returns_one(monkeypatch, capsys):
    Host(monkeypatch)
    assert verbs.update_data.callback("p", False, (), (), False, 3, False, False) == 1


@pytest.mark.parametrize("options, zuvazuv, exist_file, expected_calls, exit_code", [
    (["--base"], True, True, ["init_vdx", "update_bundle_from_zuvazuv"], 0),
    (["--base"], False, True, ["init_vdx", "update_bundle_from_zuvazuv"], 1),
    (["--base"], 0, True, ["init_vdx", "update_bundle_from_zuvazuv"], 1),
    (["--smart"], True, True,
     ["init_vdx", "update_bundle_from_zuvazuv", "update_bundle_from_exist_file"], 0),
    (["--smart"], False, True,
     ["init_vdx", "update_bundle_from_zuvazuv", "update_bundle_from_exist_file"], 1),
    (["--smart"], True, None,
     ["init_vdx", "update_bundle_from_zuvazuv", "update_bundle_from_exist_file"], 1),
    (["--tick", "JD"], True, False, ["init_vdx", "update_bundle_from_zuvazuv"], 0),
])
def test_selection_runs_updates_and_sets_exit_status(monkeypatch, bundle_path, options, zuvazuv,
                                                     exist_file, expected_calls, exit_code):
    host = Host(monkeypatch, zuvazuv=zuvazuv, exist_file=exist_file)
    result = invoke("-d", bundle_path, *options)
    assert (host.names(), result.exit_code) == (expected_calls, exit_code), result.output
    assert result.output == ""


def test_arguments_reach_the_host_in_order(monkeypatch, tmp_path):
    (tmp_path / "bundle").mkdir()
    host = Host(monkeypatch)
    result = invoke("-d", str(tmp_path), "--minbar", "stock", "--minbar", "option", "--tick", "JD",
                    "--with-derivatives", "-c", "7", "--smart", "--rebuild")
    assert result.exit_code == 0, result.output
    bundle = str(tmp_path / "bundle")
    assert host.calls == [
        ("init_vdx", (), {}),
        ("check_tick", (bundle,), {}),
        ("update_bundle_from_zuvazuv",
         (7, str(tmp_path), False, ("stock", "option"), ("JD",), True), {"rebuild": True}),
        ("update_bundle_from_exist_file", (7, str(tmp_path)), {}),
    ]


def test_defaults(monkeypatch):
    host = Host(monkeypatch)
    invoke("--base")
    assert host.calls[-1] == (
        "update_bundle_from_zuvazuv",
        (3, verbs.DEFAULT_BUNDLE_PATH, True, (), (), False), {"rebuild": False})


def test_bundle_entry_that_is_a_file_still_counts(monkeypatch, tmp_path):
    (tmp_path / "bundle").write_text("")
    host = Host(monkeypatch)
    invoke("-d", str(tmp_path), "--base")
    assert host.names()[1] == "check_tick"


def test_direct_call_with_base_none_is_a_selection(monkeypatch):
    host = Host(monkeypatch)
    assert verbs.update_data.callback("p", None, (), (), False, 3, False, False) is None
    assert host.names() == ["init_vdx", "update_bundle_from_zuvazuv"]


def test_failing_init_prints_no_help(monkeypatch):
    def refuse():
        raise ConnectionError("no licence")

    monkeypatch.setattr(login_module, "init_vdx", refuse)
    result = invoke()
    assert isinstance(result.exception, ConnectionError) and result.output == ""


@pytest.mark.parametrize("args, message", [
    (["-c", "many", "--base"], "Invalid value for '-c' / '--concurrency': 'many' is not a valid integer."),
    (["update_data"], None),
])
def test_rejected_by_click(monkeypatch, args, message):
    host = Host(monkeypatch)
    result = invoke(*args) if message else CliRunner().invoke(verbs.cli, args)
    assert result.exit_code == 2 and host.calls == []
    if message:
        assert message in result.output
    else:
        assert "No such command 'update_data'." in result.output


def test_data_bundle_path_naming_a_file_is_rejected(monkeypatch, tmp_path):
    host = Host(monkeypatch)
    a_file = tmp_path / "file"
    a_file.write_text("keep")
    result = invoke("-d", str(a_file), "--base")
    assert result.exit_code == 2 and host.calls == []
    assert f"Directory '{a_file}' is a file." in result.output
    assert a_file.read_text() == "keep"


def test_missing_framework_module_fails_before_any_update(monkeypatch):
    host = Host(monkeypatch)
    monkeypatch.setitem(__import__("sys").modules, "morvel.ostra.alpha.utils.scripts", None)
    result = invoke("--base")
    assert isinstance(result.exception, ImportError)
    assert host.names() == ["init_vdx"]


@pytest.mark.parametrize("argv", [["-h"], ["--help"]])
def test_group_help(argv):
    result = CliRunner().invoke(verbs.cli, argv)
    assert result.exit_code == 0
    assert result.output.startswith("Usage: cli [OPTIONS] COMMAND [ARGS]...\n\n"
                                    "  输入 morvel [COMMAND] --help 查看命令详情 例如：morvel update-data --help\n")
    assert "  -h, --help  Show this message and exit.\n" in result.output
    assert any(line.split() == ["update-data", "更新运行回测所需的历史数据"]
               for line in result.output.splitlines())


def test_commands_keep_only_long_help():
    assert CliRunner().invoke(verbs.cli, ["update-data", "-h"]).exit_code == 2


def run_morvel(*args, **env):
    return subprocess.run([str(MORVEL_PROGRAM), *args], capture_output=True, text=True,
                          env=clean_env(**env), timeout=120)


def test_real_program(tmp_path):
    help_page = run_morvel("update-data", "--help")
    assert help_page.returncode == 0
    assert help_page.stdout.startswith("Usage: morvel update-data [OPTIONS]\n")
    assert "bundle 目录，默认为 " in help_page.stdout
    # the stand-in host has no data service: the update reports failure
    result = run_morvel("update-data", "--base", "-d", str(tmp_path), MORVEL_CONFIG_DIR=tmp_path)
    assert result.returncode == 1
    assert "no data service" in result.stderr
    assert not (tmp_path / "bundle").exists()
