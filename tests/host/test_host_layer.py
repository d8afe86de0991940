import datetime
import io
import os
import stat
import subprocess
import sys
import tarfile

import numpy as np
import pytest

from morvel.ostra.alpha.bundle import download_simple_bundle
from morvel.ostra.mod.mod_quant_data.data_sources.tight_loops import to_minutes, unique_sorted
from morvel.ostra.sdk import license_helper

PYTHON_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "python"))


@pytest.fixture
def config_dir(tmp_path, monkeypatch):
    d = tmp_path / "cfg"
    monkeypatch.setenv("MORVEL_CONFIG_DIR", str(d))
    monkeypatch.delenv("MORVEL_LICENSE", raising=False)
    return d


def _child_env(config_dir):
    env = {k: v for k, v in os.environ.items() if k != "MORVEL_LICENSE"}
    env["MORVEL_CONFIG_DIR"] = str(config_dir)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (PYTHON_DIR, env.get("PYTHONPATH")) if p)
    return env


def test_license_round_trip_persists_privately_and_reaches_new_process(config_dir, monkeypatch):
    license_helper.set_to_environ("MORVEL_LICENSE", "alice:s3:cr:et")

    path = config_dir / "settings.json"
    assert stat.S_IMODE(path.stat().st_mode) == 0o600
    assert stat.S_IMODE(config_dir.stat().st_mode) == 0o700
    assert os.listdir(config_dir) == ["settings.json"]
    assert license_helper.get_license_info() == ("alice", "s3:cr:et")

    code = (
        "import os\n"
        "from morvel.ostra.sdk.license_helper import get_license_info\n"
        "print(get_license_info()); print(os.getenv('MORVEL_LICENSE'))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], env=_child_env(config_dir),
                         capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == ["('alice', 's3:cr:et')", "alice:s3:cr:et"]

    # A second write keeps earlier keys and still leaves no temp files.
    license_helper.set_to_environ("OTHER", "x")
    assert os.listdir(config_dir) == ["settings.json"]
    monkeypatch.delenv("MORVEL_LICENSE")
    assert license_helper.get_license_info() == ("alice", "s3:cr:et")


def test_real_environment_wins_over_stored_value(config_dir):
    license_helper.set_to_environ("MORVEL_LICENSE", "stored:1")
    env = _child_env(config_dir)
    env["MORVEL_LICENSE"] = "fromenv:2"
    code = "from morvel.ostra.sdk.license_helper import get_license_info; print(get_license_info())"
    out = subprocess.run([sys.executable, "-c", code], env=env,
                         capture_output=True, text=True, check=True).stdout
    assert out.strip() == "('fromenv', '2')"


@pytest.mark.parametrize("value, expected", [
    (None, (None, None)),
    ("", (None, None)),
    ("bob", ("bob", None)),
    ("bob:", ("bob", "")),
    (":pw", ("", "pw")),
])
def test_get_license_info_shapes(config_dir, monkeypatch, value, expected):
    if value is not None:
        monkeypatch.setenv("MORVEL_LICENSE", value)
    assert license_helper.get_license_info() == expected


def test_corrupt_settings_are_kept_aside(config_dir, capsys):
    config_dir.mkdir()
    (config_dir / "settings.json").write_text("{not json")
    license_helper.set_to_environ("MORVEL_LICENSE", "u:p")

    aside = [n for n in os.listdir(config_dir) if n.startswith("settings.json.corrupt-")]
    assert len(aside) == 1
    assert (config_dir / aside[0]).read_text() == "{not json"
    assert "settings.json" in capsys.readouterr().err
    assert license_helper.get_license_info() == ("u", "p")


def _oracle_minutes(stamps):
    dts = [datetime.datetime.strptime(str(s), "%Y%m%d%H%M%S") for s in stamps]
    base = datetime.datetime.combine(dts[0].date(), datetime.time())
    return [(d.replace(second=0) - base) // datetime.timedelta(minutes=1) for d in dts]


@pytest.mark.parametrize("stamps", [
    [20240105093000, 20240105093059, 20240105150000],      # same day, seconds dropped
    [20240105235900, 20240106000000, 20240106000130],      # across midnight
    [20240105150000, 20240108093000],                      # weekend gap
    [20230131235900, 20230201000100, 20230301090000],      # month ends, non-leap Feb
    [20240228230000, 20240229120000, 20240301000000],      # leap day
    [20231231235959, 20240101000000],                      # year end
    [20000229000000, 21000301000000],                      # 400-year leap vs century non-leap
], ids=["same-day", "midnight", "gap", "month-end", "leap-day", "year-end", "century"])
@pytest.mark.parametrize("dtype", [np.int64, np.uint64, np.float64])
def test_to_minutes_matches_calendar(stamps, dtype):
    arr = np.array(stamps, dtype=dtype)
    before = arr.copy()
    got = to_minutes(arr)
    assert got.dtype == np.int64
    assert got.tolist() == _oracle_minutes(stamps)
    np.testing.assert_array_equal(arr, before)


def test_to_minutes_empty():
    got = to_minutes(np.array([], dtype=np.int64))
    assert got.dtype == np.int64 and got.size == 0


@pytest.mark.parametrize("values, expected", [
    ([], []),
    ([7], [7]),
    ([3, 3, 3], [3]),
    ([1, 1, 2, 5, 5, 9], [1, 2, 5, 9]),
    ([-4, -4, 0, 2**40, 2**40], [-4, 0, 2**40]),
])
def test_unique_sorted(values, expected):
    got = unique_sorted(np.array(values, dtype=np.int64))
    assert got.dtype == np.intp
    assert got.tolist() == expected


def _tar_with(path, names):
    with tarfile.open(path, "w:gz") as tf:
        for name in names:
            data = b"x"
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tf.addfile(info, io.BytesIO(data))


def test_download_simple_bundle_extracts_archive(tmp_path):
    archive = tmp_path / "b.tar.gz"
    _tar_with(archive, ["bundle/a.h5", "bundle/sub/b.h5"])
    dest = tmp_path / "dest"
    assert download_simple_bundle(str(dest), file_path=str(archive)) is True
    assert (dest / "bundle" / "sub" / "b.h5").read_bytes() == b"x"


@pytest.mark.parametrize("bad", ["../escape.txt", "ok/../../escape.txt", "/abs/escape.txt"])
def test_download_simple_bundle_refuses_escaping_member(tmp_path, bad):
    archive = tmp_path / "evil.tar.gz"
    _tar_with(archive, ["fine.txt", bad])
    dest = tmp_path / "dest"
    with pytest.raises(ValueError, match=r"escape\.txt"):
        download_simple_bundle(str(dest), file_path=str(archive))
    assert not (tmp_path / "escape.txt").exists()
    assert not dest.exists() or os.listdir(dest) == []


def test_download_simple_bundle_without_archive_reports_no_service(tmp_path, capsys):
    assert download_simple_bundle(str(tmp_path / "d")) is False
    assert "no data service" in capsys.readouterr().err
    with pytest.raises(FileNotFoundError):
        download_simple_bundle(str(tmp_path / "d"), file_path=str(tmp_path / "missing.tgz"))
