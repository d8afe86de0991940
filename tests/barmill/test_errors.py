import types
import warnings

import numpy as np
import pytest

from bar_support import Recorder, field_bytes, make_bars, rebound

FUTURE = types.SimpleNamespace(type="Future", exchange="SHFE")
STOCK = types.SimpleNamespace(type="CS")


def numpy_error(action):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            action()
        except Exception as e:  # noqa: BLE001 - whatever numpy raises is the expectation
            return type(e), str(e)
    raise AssertionError("numpy did not fail")


def with_extra_fields(n=4):
    dtype = np.dtype([("orig_time", "i8"), ("open_price", "f8"), ("foo", "f8"),
                      ("volume", "i4"), ("bar", "f8")])
    bars = np.zeros(n, dtype)
    bars["orig_time"] = 20240102090100 + np.arange(n) * 100
    return bars


def without_orig_time(n=4):
    return make_bars(n, np.dtype([("close_price", "f8"), ("volume", "i4")]))


MISSING_NAME = numpy_error(lambda: make_bars(1).dtype["nope"])
NO_ORIG_TIME = numpy_error(lambda: without_orig_time()["orig_time"])
EMPTY_LAST = numpy_error(lambda: np.empty(0, np.int64)[-1])
ARANGE_ZERO = numpy_error(lambda: np.arange(0, np.int64(3), 0))

CASES = [
    # id, bars, call, exception type, message
    ("count-resample-zero", make_bars(5),
     lambda bm, b: bm._simple_resample_bars(b, ["volume"], 0),
     ZeroDivisionError, "integer division or modulo by zero"),
    ("count-resample-zero-drop", make_bars(5),
     lambda bm, b: bm.resample_bars(STOCK, b, None, 0, False),
     ZeroDivisionError, "integer division or modulo by zero"),
    ("count-field-outside-table", with_extra_fields(),
     lambda bm, b: bm._simple_resample_bars(b, None, 2), KeyError, "'foo'"),
    ("minute-field-outside-table", with_extra_fields(),
     lambda bm, b: bm.resample_bars(FUTURE, b, None, 2), KeyError, "'foo'"),
    ("count-listed-field-outside-table", with_extra_fields(),
     lambda bm, b: bm._simple_resample_bars(b, ("volume", "bar"), 2), KeyError, "'bar'"),
    ("count-name-not-in-input", make_bars(4),
     lambda bm, b: bm._simple_resample_bars(b, ["volume", "nope"], 2), *MISSING_NAME),
    ("minute-name-not-in-input", make_bars(4),
     lambda bm, b: bm._resample_future_bars(b, "nope", 2), *MISSING_NAME),
    ("instrument-without-type", make_bars(4),
     lambda bm, b: bm.resample_bars(types.SimpleNamespace(exchange="SHFE"), b, None, 2),
     AttributeError, "'types.SimpleNamespace' object has no attribute 'type'"),
    ("future-without-exchange", make_bars(4),
     lambda bm, b: bm.resample_bars(types.SimpleNamespace(type="Future"), b, None, 2),
     AttributeError, "'types.SimpleNamespace' object has no attribute 'exchange'"),
    ("minute-without-orig-time", without_orig_time(),
     lambda bm, b: bm._resample_future_bars(b, "close_price", 2), *NO_ORIG_TIME),
    ("minute-no-bars", make_bars(0),
     lambda bm, b: bm._resample_future_bars(b, None, 2), *EMPTY_LAST),
    ("minute-resample-zero", make_bars(2),
     lambda bm, b: bm._resample_future_bars(b, None, 0), *ARANGE_ZERO),
]


@pytest.mark.parametrize("bars, call, error, message",
                         [pytest.param(*c[1:], id=c[0]) for c in CASES])
def test_failures_leave_the_input_alone(bm, bars, call, error, message):
    before = field_bytes(bars)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        with pytest.raises(error) as info:
            call(bm, bars)
    assert type(info.value) is error and str(info.value) == message
    assert field_bytes(bars) == before


def test_zero_resample_fails_before_numpy_is_touched(bm):
    seen = []

    class NumpyView:
        def __getattr__(self, name):
            seen.append(name)
            return getattr(np, name)

    with rebound(bm, "np", NumpyView()), pytest.raises(ZeroDivisionError):
        bm._simple_resample_bars(make_bars(5), ["volume", "nope"], 0)
    assert seen == []


@pytest.mark.parametrize("host", ["to_minutes", "unique_sorted"])
def test_host_errors_propagate_unchanged(bm, host):
    raised = LookupError("host says no")

    def fail(_array):
        raise raised

    bars = make_bars(6)
    with rebound(bm, host, fail), pytest.raises(LookupError) as info:
        bm.resample_bars(FUTURE, bars, None, 5)
    assert info.value is raised


def test_aggregator_without_reduceat(bm):
    table = bm.FIELD_AGG_FUNCTIONS
    with rebound(bm, "FIELD_AGG_FUNCTIONS", dict(table, volume="sum")):
        with pytest.raises(AttributeError, match="'str' object has no attribute 'reduceat'"):
            bm._simple_resample_bars(make_bars(4), ["open_price", "volume"], 2)


def test_path_not_called_when_the_instrument_fails(bm):
    simple, future = Recorder(), Recorder()
    with rebound(bm, "_simple_resample_bars", simple), \
            rebound(bm, "_resample_future_bars", future), pytest.raises(AttributeError):
        bm.resample_bars(types.SimpleNamespace(type="Future"), make_bars(2), None, 2)
    assert simple.calls == [] and future.calls == []


def test_missing_module_name_raises_name_error(bm):
    table = bm.FIELD_AGG_FUNCTIONS
    del bm.FIELD_AGG_FUNCTIONS
    try:
        with pytest.raises(NameError, match="name 'FIELD_AGG_FUNCTIONS' is not defined"):
            bm._simple_resample_bars(make_bars(2), None, 1)
    finally:
        bm.FIELD_AGG_FUNCTIONS = table


def test_count_path_takes_the_length_before_testing_include_last(bm):
    class NoLength:
        def __len__(self):
            raise LookupError("no length")

    class NoTruth:
        def __bool__(self):
            raise ArithmeticError("no truth")

    with pytest.raises(LookupError, match="no length"):
        bm._simple_resample_bars(NoLength(), None, 2, NoTruth())
    with pytest.raises(ArithmeticError, match="no truth"):
        bm._simple_resample_bars(make_bars(3), None, 2, NoTruth())
