import builtins
import os
import sys

import pytest

import morvel.ostra.alpha.bundle as alpha_bundle
import morvel.ostra.verbs.bundle as verbs_bundle


@pytest.fixture
def checks(calls, record, monkeypatch):
    """Recorders for the two checks; their results must be ignored."""
    monkeypatch.setattr(alpha_bundle, "check_min_bar_data", record("min", False))
    monkeypatch.setattr(verbs_bundle, "check_bundle_data", record("day", "bad"))
    return calls


# ------------------------------------------------------------------ check-data

@pytest.mark.parametrize("flags, which", [
    ([], ["min", "day"]),
    (["--minbar"], ["min"]),
    (["--daybar"], ["day"]),
    (["--minbar", "--daybar"], ["min", "day"]),
    (["--daybar", "--minbar"], ["min", "day"]),
])
def test_check_data_selects_checks(run, verbs, checks, flags, which):
    result = run(["check-data", *flags])
    assert (result.exit_code, result.output) == (0, "")
    default = verbs.DEFAULT_BUNDLE_PATH
    paths = {"min": default, "day": os.path.join(default, "bundle")}
    assert checks == [(name, (paths[name],), {}) for name in which]


def test_check_data_joins_bundle_even_when_missing(run, checks, tmp_path):
    result = run(["check-data", "--daybar", "-d", str(tmp_path)])
    assert result.exit_code == 0
    assert checks == [("day", (os.path.join(str(tmp_path), "bundle"),), {})]


def test_check_data_imports_both_before_any_check(run, checks, monkeypatch):
    monkeypatch.delattr(alpha_bundle, "check_min_bar_data")
    result = run(["check-data", "--daybar"])
    assert isinstance(result.exception, ImportError)
    assert str(result.exception) == "cannot import name check_min_bar_data"
    assert checks == []


def test_check_data_missing_daily_module_stops_minute_check(run, checks, monkeypatch):
    monkeypatch.setitem(sys.modules, "morvel.ostra.verbs.bundle", None)
    result = run(["check-data", "--minbar"])
    assert isinstance(result.exception, ImportError)
    assert checks == []


def test_check_data_failing_minute_check_skips_daily(run, calls, record, monkeypatch):
    def broken(path):
        raise OSError("disk gone")
    monkeypatch.setattr(alpha_bundle, "check_min_bar_data", broken)
    monkeypatch.setattr(verbs_bundle, "check_bundle_data", record("day"))
    result = run(["check-data"])
    assert isinstance(result.exception, OSError)
    assert calls == []


def test_check_data_uses_any_taken_at_import(run, verbs, checks, monkeypatch):
    def poisoned(_):
        raise AssertionError("any looked up at call time")
    monkeypatch.setattr(builtins, "any", poisoned)
    monkeypatch.setattr(verbs, "any", poisoned, raising=False)
    assert run(["check-data", "--minbar"]).exit_code == 0
    assert [name for name, _, _ in checks] == ["min"]


def test_check_data_direct_call_uses_truth(verbs, checks):
    assert verbs.check_data.callback("p", 0, [1]) is None
    assert checks == [("day", (os.path.join("p", "bundle"),), {})]
    with pytest.raises(TypeError, match=r"check_data\(\) takes exactly 3"):
        verbs.check_data.callback("p", False)


# ------------------------------------------------------------------ both data commands

@pytest.mark.parametrize("command", ["check-data", "download-data"])
def test_existing_file_refused_as_bundle_path(run, checks, record, tmp_path, command,
                                             calls, monkeypatch):
    monkeypatch.setattr(alpha_bundle, "download_simple_bundle", record("download"))
    a_file = tmp_path / "file"
    a_file.write_text("")
    result = run([command, "-d", str(a_file)])
    assert result.exit_code == 2
    assert "is a file" in result.output
    assert calls == []


# ------------------------------------------------------------------ download-data

@pytest.fixture
def download(record, monkeypatch):
    result = object()
    monkeypatch.setattr(alpha_bundle, "download_simple_bundle",
                        record("download", result))
    return result


def test_download_data_defaults(run, verbs, calls, download):
    result = run(["download-data"])
    # The host's result does not become the exit status.
    assert (result.exit_code, result.output) == (0, "")
    assert calls == [("download", (verbs.DEFAULT_BUNDLE_PATH,),
                      {"sample": False, "file_path": None})]


def test_download_data_passes_paths_as_typed(run, calls, download, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "out").mkdir()
    result = run(["download-data", "--sample", "-f", "../sample.tar.gz", "-d", "out"])
    assert result.exit_code == 0
    assert calls == [("download", ("out",), {"sample": True, "file_path": "../sample.tar.gz"})]


def test_download_data_direct_call(verbs, calls, download):
    assert verbs.download_data.callback("p") is download
    assert calls == [("download", ("p",), {"sample": True, "file_path": None})]
    with pytest.raises(TypeError, match=r"download_data\(\) takes at most 3"):
        verbs.download_data.callback("p", True, None, 4)


def test_download_data_errors_propagate(run, monkeypatch):
    def failing(*args, **kwargs):
        raise FileNotFoundError("bundle archive not found")
    monkeypatch.setattr(alpha_bundle, "download_simple_bundle", failing)
    result = run(["download-data", "-f", "missing.zip"])
    assert isinstance(result.exception, FileNotFoundError)
