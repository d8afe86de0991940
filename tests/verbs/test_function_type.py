"""The native function type: Python-function behaviour of the callbacks."""
import inspect
import traceback

import pytest

import morvel.ostra.sdk.verbs as verbs

update_data = verbs.update_data.callback
PARAMS = ("data_bundle_path", "base", "minbar", "tick", "with_derivatives", "concurrency",
          "smart", "rebuild")


def test_attributes_and_signature():
    assert (update_data.__name__, update_data.__qualname__, update_data.__module__) == (
        "update_data", "update_data", "morvel.ostra.sdk.verbs")
    assert update_data.__doc__.startswith("\n    更新运行回测所需的历史数据\n")
    assert tuple(inspect.signature(update_data).parameters) == PARAMS
    assert update_data.__code__.co_filename == "morvel\\ostra\\sdk\\verbs"
    assert verbs.cli.callback.__doc__ == (
        "\n    输入 morvel [COMMAND] --help 查看命令详情\n    例如：morvel update-data --help\n    ")


def test_attributes_are_settable_and_dict_is_kept():
    f = verbs.cli.callback
    saved = f.__name__, f.__qualname__, f.__doc__, f.__module__
    try:
        f.__name__, f.__qualname__, f.__doc__, f.__module__ = "a", "b.a", "doc", "m"
        f.marker = 1
        assert (f.__name__, f.__qualname__, f.__doc__, f.__module__) == ("a", "b.a", "doc", "m")
        assert f.__dict__["marker"] == 1
        with pytest.raises(TypeError):
            f.__name__ = 3
    finally:
        f.__name__, f.__qualname__, f.__doc__, f.__module__ = saved
        del f.marker


def test_binds_as_method_in_a_class():
    class Holder:
        method = verbs.cli.callback

    h = Holder()
    assert h.method.__self__ is h and h.method.__func__ is verbs.cli.callback
    assert Holder.method is verbs.cli.callback
    with pytest.raises(TypeError, match=r"cli\(\) takes exactly 0 positional arguments \(1 given\)"):
        h.method()


ARGS = tuple(range(8))


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "update_data() takes exactly 8 positional arguments (0 given)"),
    (ARGS[:3], {}, "update_data() takes exactly 8 positional arguments (3 given)"),
    (ARGS + (8,), {}, "update_data() takes exactly 8 positional arguments (9 given)"),
    # the count names the first parameter that is missing
    (ARGS[:2], {"minbar": 1, "smart": 2}, "update_data() takes exactly 8 positional arguments (3 given)"),
    (ARGS, {"colour": 1}, "update_data() got an unexpected keyword argument 'colour'"),
    (ARGS, {"base": 1}, "update_data() got multiple values for keyword argument 'base'"),
])
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        update_data(*args, **kwargs)
    assert str(info.value) == message


def test_traceback_shows_the_function_in_the_module_file(monkeypatch):
    import morvel.ostra.utils.login as login

    def boom():
        raise LookupError("no data API")

    monkeypatch.setattr(login, "init_vdx", boom)
    with pytest.raises(LookupError) as info:
        update_data("/nonexistent", False, (), (), False, 3, False, False)
    frames = [(f.filename, f.name) for f in traceback.extract_tb(info.value.__traceback__)]
    assert ("morvel\\ostra\\sdk\\verbs", "update_data") in frames
    assert frames[-1][1] == "boom"
