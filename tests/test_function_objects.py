"""The functions of all four modules behave as Python functions do where users
lean on it: pickling and copying, renaming, the type's own attributes, and
failure modes that must never take the interpreter down.  A case that could
crash runs in a fresh interpreter, so a crash fails that test alone."""
import copy
import gc
import pickle
import pydoc
import textwrap

import pytest

from support import run_python

from morvel.ostra.mod.mod_optimizer2 import mod
from morvel.ostra.mod.mod_quant_data.data_sources import barmill
from morvel.ostra.sdk import verbs
from morvel.ostra.utils import zr_json

FUNCTIONS = {
    "resample_bars": barmill.resample_bars,
    "_simple_resample_bars": barmill._simple_resample_bars,
    "_resample_future_bars": barmill._resample_future_bars,
    "convert_dict_to_json": zr_json.convert_dict_to_json,
    "convert_json_to_dict": zr_json.convert_json_to_dict,
    "custom_encode": zr_json.custom_encode,
    "custom_decode": zr_json.custom_decode,
    "start_up": mod.Optimizer2Mod.start_up,
    "tear_down": mod.Optimizer2Mod.tear_down,
}
# The command callbacks sit inside click's Command objects, under names the
# commands took over: like decorated Python functions they copy as
# themselves but do not pickle by name.
CALLBACKS = {
    "update_data": verbs.update_data.callback,
    "license": verbs.license.callback,
    "cli": verbs.cli.callback,
}


def check(code):
    result = run_python(textwrap.dedent(code))
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.mark.parametrize("f", FUNCTIONS.values(), ids=FUNCTIONS.keys())
def test_pickle_gives_the_function_itself(f):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f


@pytest.mark.parametrize("f", [*FUNCTIONS.values(), *CALLBACKS.values()],
                         ids=[*FUNCTIONS, *CALLBACKS])
def test_copies_are_the_function_itself(f):
    assert copy.copy(f) is f
    config = {"hook": f, "nested": [f]}
    copied = copy.deepcopy(config)
    assert copied["hook"] is f and copied["nested"][0] is f


def test_pickle_round_trip_across_processes():
    # The receiving side finds the function by module and qualified name.
    payload = pickle.dumps([barmill.resample_bars, mod.Optimizer2Mod.start_up])
    out = check(f"""
        import pickle
        from morvel.ostra.mod.mod_quant_data.data_sources import barmill
        from morvel.ostra.mod.mod_optimizer2 import mod
        got = pickle.loads({payload!r})
        print(got[0] is barmill.resample_bars, got[1] is mod.Optimizer2Mod.start_up)
    """)
    assert out.split() == ["True", "True"]


def test_pickle_of_a_renamed_function_fails_as_for_python_functions():
    f = zr_json.custom_decode
    saved = f.__qualname__
    try:
        f.__qualname__ = "elsewhere"
        with pytest.raises(pickle.PicklingError):
            pickle.dumps(f)
    finally:
        f.__qualname__ = saved


def test_type_is_a_proper_class():
    t = type(barmill.resample_bars)
    assert isinstance(t.__module__, str) and t.__module__ == barmill.__name__
    assert t.__name__ == "native_function"
    assert barmill.resample_bars.__module__ == barmill.__name__
    assert t in gc.get_referents(barmill.resample_bars)  # traversal visits the heap type
    doc = pydoc.plain(pydoc.render_doc(barmill))  # pydoc walks the module
    assert "resample_bars(instrument, bars, fields, resample, include_last=True)" in doc


def test_module_attribute_is_per_function():
    f, other = zr_json.custom_encode, zr_json.custom_decode
    try:
        f.__module__ = "somewhere"
        assert (f.__module__, other.__module__) == ("somewhere", zr_json.__name__)
        assert "__module__" not in vars(f)
        assert type(f).__module__ == zr_json.__name__
        del f.__module__
        assert f.__module__ is None
    finally:
        f.__module__ = zr_json.__name__


def test_type_cannot_be_instantiated():
    out = check("""
        from morvel.ostra.mod.mod_quant_data.data_sources import barmill
        T = type(barmill.resample_bars)
        for make in (lambda: T(), lambda: T.__new__(T), lambda: object.__new__(T)):
            try:
                make()
            except TypeError as e:
                print("TypeError")
    """)
    assert out.split() == ["TypeError"] * 3


def test_a_cycle_of_native_calls_raises_recursion_error():
    out = check("""
        import functools, types, numpy as np
        from morvel.ostra.mod.mod_quant_data.data_sources import barmill
        S = types.SimpleNamespace(type="CS")
        barmill._simple_resample_bars = functools.partial(barmill.resample_bars, S)
        bars = np.zeros(4, dtype=[("close_price", "f8")])
        try:
            barmill.resample_bars(S, bars, None, 2)
        except RecursionError as e:
            print("RecursionError:", e)
        # the interpreter is still usable afterwards
        barmill._simple_resample_bars = None
        print(len(list(range(3))))
    """)
    first, after = out.splitlines()
    assert first.startswith("RecursionError: maximum recursion depth exceeded") and after == "3"


@pytest.mark.parametrize("name", ["\udcff", "a\x00b", "名字"])
def test_any_name_keeps_the_function_callable(name):
    f = zr_json.custom_encode
    try:
        f.__name__ = name
        assert f(obj=zr_json.datetime.date(2024, 1, 2)) == {"__date__": True, "as_str": "20240102"}
        with pytest.raises(TypeError) as info:
            f()
        assert str(info.value) == name + "() takes exactly 1 positional argument (0 given)"
        with pytest.raises(TypeError) as info:
            f(1, colour=2)
        assert str(info.value) == name + "() got an unexpected keyword argument 'colour'"
    finally:
        f.__name__ = "custom_encode"


def test_a_host_error_reaches_the_caller_unchanged():
    # Not a SystemError, and not cleared by a later step.
    out = check("""
        import morvel.ostra.sdk.verbs as verbs
        try:
            verbs.update_data.callback(None, True, (), (), False, 3, False, False)
        except Exception as e:
            print(type(e).__name__)
    """)
    assert out.split() == ["TypeError"]  # os.path.join(None, "bundle")


def test_builtins_are_the_modules_own_not_the_callers():
    # A name missing from the module is looked up in the built-ins of the
    # module, never in those of the code that calls the function.
    out = check("""
        import builtins
        from morvel.ostra.utils import zr_json
        del zr_json.json
        fake = type("FakeJson", (), {"dumps": staticmethod(lambda *a, **k: "builtins'")})
        try:
            exec("f({})", {"__builtins__": {"json": fake}, "f": zr_json.convert_dict_to_json})
        except NameError as e:
            print(e)
        builtins.json = fake
        print(zr_json.convert_dict_to_json({}))
    """)
    assert out.splitlines() == ["name 'json' is not defined", "builtins'"]
