import subprocess
import textwrap
import types

import numpy as np
import pytest

from bar_support import Recorder, make_bars, rebound
from support import copy_installed_package, tree_command, tree_env

MODULE = "morvel.ostra.mod.mod_quant_data.data_sources.barmill"

TABLE_KEYS = [
    "orig_time", "open_price", "close_price", "high_price", "low_price", "high_limited",
    "low_limited", "total_turnover", "volume", "acc_net_value", "unit_net_value",
    "discount_rate", "settlement", "prev_settlement", "open_interest", "basis_spread",
    "trading_date",
]


# ---------------------------------------------------------------- dispatch

class Exchange:
    """An exchange value that records what it is compared with."""

    def __init__(self, value):
        self.value, self.compared = value, []

    def __eq__(self, other):
        self.compared.append(other)
        return self.value == other

    __hash__ = None


class TypeEqualToFuture:
    def __eq__(self, other):
        return other == "Future"


@pytest.mark.parametrize("instrument, path, compared", [
    (dict(type="Future", exchange=Exchange("SHFE")), "future", ["CFFEX", "CCFX"]),
    (dict(type="Future", exchange=Exchange("DCE")), "future", ["CFFEX", "CCFX"]),
    (dict(type="Future", exchange=Exchange("CFFEX")), "simple", ["CFFEX"]),
    (dict(type="Future", exchange=Exchange("CCFX")), "simple", ["CFFEX", "CCFX"]),
    (dict(type=TypeEqualToFuture(), exchange=Exchange("INE")), "future", ["CFFEX", "CCFX"]),
    (dict(type="CS", exchange=Exchange("SHFE")), "simple", []),
    (dict(type="future", exchange=Exchange("SHFE")), "simple", []),
    (dict(type="INDX"), "simple", None),
])
def test_dispatch(bm, instrument, path, compared):
    simple, future = Recorder("simple"), Recorder("future")
    bars = make_bars(3)
    with rebound(bm, "_simple_resample_bars", simple), \
            rebound(bm, "_resample_future_bars", future):
        got = bm.resample_bars(types.SimpleNamespace(**instrument), bars, ["volume"], 5, False)
    assert got == path
    [call] = (simple if path == "simple" else future).calls
    assert call == ((bars, ["volume"], 5, False), {})
    if compared is not None:
        assert instrument["exchange"].compared == compared


def test_include_last_defaults_to_true_and_keywords_work(bm):
    simple = Recorder()
    with rebound(bm, "_simple_resample_bars", simple):
        bm.resample_bars(types.SimpleNamespace(type="CS"), "bars", None, 3)
        bm.resample_bars(include_last=0, resample=2, fields="f", bars="b",
                         instrument=types.SimpleNamespace(type="CS"))
    assert [c[0] for c in simple.calls] == [("bars", None, 3, True), ("b", "f", 2, 0)]


@pytest.mark.parametrize("call, message", [
    (lambda f: f(1, 2, 3), "resample_bars() takes at least 4 positional arguments (3 given)"),
    (lambda f: f(1, 2, 3, 4, 5, 6), "resample_bars() takes at most 5 positional arguments (6 given)"),
    (lambda f: f(1, 2, 3, 4, bars=2), "resample_bars() got multiple values for keyword argument 'bars'"),
    (lambda f: f(1, 2, 3, 4, extra=1), "resample_bars() got an unexpected keyword argument 'extra'"),
])
def test_argument_errors(bm, call, message):
    with pytest.raises(TypeError) as info:
        call(bm.resample_bars)
    assert str(info.value) == message


# ---------------------------------------------------------------- table

def test_table_entries(bm):
    table = bm.FIELD_AGG_FUNCTIONS
    assert type(table) is dict and list(table) == TABLE_KEYS
    assert table["high_price"] is np.maximum and table["low_price"] is np.minimum
    assert table["volume"] is np.add and table["total_turnover"] is np.add
    assert {k for k, v in table.items() if v == "first"} == {"open_price", "high_limited",
                                                             "low_limited"}
    assert {k for k, v in table.items() if isinstance(v, str)} == set(TABLE_KEYS) - {
        "high_price", "low_price", "volume", "total_turnover"}


@pytest.mark.parametrize("path", ["_simple_resample_bars", "_resample_future_bars"])
def test_table_is_read_at_each_call(bm, fixed_minutes, path):
    fixed_minutes([0, 1, 2, 3])
    bars = np.zeros(4, [("orig_time", "i8"), ("bid", "f8")])
    bars["bid"] = [1, 2, 3, 4]
    fn = getattr(bm, path)
    with pytest.raises(KeyError):
        fn(bars, None, 2)
    table = bm.FIELD_AGG_FUNCTIONS
    table["bid"] = "last"
    try:
        assert fn(bars, "bid", 2).tolist() == [2, 4]
        table["bid"] = np.add
        assert fn(bars, "bid", 2).tolist() == [3, 7]
        with rebound(bm, "FIELD_AGG_FUNCTIONS", {"orig_time": "first", "bid": "first"}):
            assert fn(bars, "bid", 2).tolist() == [1, 3]
    finally:
        del table["bid"]


def test_np_is_read_at_each_call(bm):
    seen = []

    class NumpyView:
        def __getattr__(self, name):
            seen.append(name)
            return getattr(np, name)

    with rebound(bm, "np", NumpyView()):
        bm._simple_resample_bars(make_bars(4), ["volume"], 2)
    assert seen == ["dtype", "empty"]


# ---------------------------------------------------------------- module level

def test_module_namespace(bm):
    names = [k for k in vars(bm) if not k.startswith("__")]
    assert names == ["np", "to_minutes", "unique_sorted", "FIELD_AGG_FUNCTIONS",
                     "resample_bars", "_simple_resample_bars", "TIME_MODULER", "HUNDREND",
                     "MINUTES_PER_HOUR", "MINUTES_PER_DAY", "_resample_future_bars"]
    from morvel.ostra.mod.mod_quant_data.data_sources import tight_loops
    assert bm.np is np
    assert bm.to_minutes is tight_loops.to_minutes
    assert bm.unique_sorted is tight_loops.unique_sorted


@pytest.mark.parametrize("name, value", [("TIME_MODULER", 1000000), ("HUNDREND", 100),
                                         ("MINUTES_PER_HOUR", 60), ("MINUTES_PER_DAY", 1440)])
def test_constants(bm, name, value):
    constant = getattr(bm, name)
    assert type(constant) is np.int64 and constant == value


@pytest.mark.parametrize("name", ["resample_bars", "_simple_resample_bars",
                                  "_resample_future_bars"])
def test_function_attributes(bm, name):
    fn = getattr(bm, name)
    assert (fn.__name__, fn.__qualname__, fn.__module__, fn.__doc__) == (name, name, MODULE, None)


def _host_copy(tmp_path):
    root = tmp_path / "site"
    copy_installed_package(root / "morvel")
    return root, root / "morvel/ostra/mod/mod_quant_data/data_sources/tight_loops.py"


def _import_in_fresh_interpreter(root):
    code = textwrap.dedent(f"""
        import traceback
        try:
            import {MODULE}
        except ImportError as e:
            print(type(e).__name__, e, sep=': ')
            print(traceback.format_exc())
        else:
            print('imported')
    """)
    return subprocess.run(tree_command(code), env=tree_env(root), capture_output=True,
                          text=True, cwd=root, check=True).stdout.splitlines()


def test_host_copy_imports(tmp_path):
    root, _ = _host_copy(tmp_path)
    assert _import_in_fresh_interpreter(root) == ["imported"]


def test_missing_unique_sorted_fails_the_import(tmp_path):
    root, tight_loops = _host_copy(tmp_path)
    source = tight_loops.read_text().replace("def unique_sorted(", "def _unique_sorted(")
    tight_loops.write_text(source)
    out = _import_in_fresh_interpreter(root)
    # The name goes into the message as str(), without quotes.
    assert out[0] == "ImportError: cannot import name unique_sorted"
    assert f'File "morvel\\ostra\\mod\\mod_quant_data\\data_sources\\barmill", line 3, in init {MODULE}' in [line.strip() for line in out]
