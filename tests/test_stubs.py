"""The shipped type stubs against the live modules, and mypy over them."""
import ast
import importlib
import importlib.util
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pytest

MODULES = {
    "morvel.ostra.sdk.verbs": "ostra/sdk/verbs.pyi",
    "morvel.ostra.mod.mod_quant_data.data_sources.barmill":
        "ostra/mod/mod_quant_data/data_sources/barmill.pyi",
    "morvel.ostra.utils.zr_json": "ostra/utils/zr_json.pyi",
    "morvel.ostra.mod.mod_optimizer2.mod": "ostra/mod/mod_optimizer2/mod.pyi",
}


# ---------------------------------------------------------------- stub side

def stub_path(module):
    """The installed stub; an editable install keeps it in the source tree."""
    for folder in importlib.util.find_spec("morvel").submodule_search_locations:
        path = Path(folder) / MODULES[module]
        if path.exists():
            return path
    raise FileNotFoundError(MODULES[module])


def stub_tree(module):
    return ast.parse(stub_path(module).read_text())


def stub_names(tree):
    """Names the stub declares at module level, helper classes (private names
    used only as annotations) left out."""
    names = set()
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) or (
                isinstance(node, ast.ClassDef) and not node.name.startswith("_")):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.ImportFrom):
            names.update(a.name for a in node.names if a.asname == a.name)
    return names


def stub_shape(defs):
    """(parameter names in order, {name: default}) of one function, or of a set
    of overloads: the longest lists every parameter, and one that a shorter
    overload leaves out has a default (its value is not written; None)."""
    full = max(defs, key=lambda d: len(d.args.args))
    names = [a.arg for a in full.args.args]
    if len(defs) > 1:
        present = [{a.arg for a in d.args.args + d.args.kwonlyargs} for d in defs]
        return names, {n: None for n in names if not all(n in p for p in present)}
    values = [ast.literal_eval(d) for d in full.args.defaults]
    return names, dict(zip(names[len(names) - len(values):], values, strict=True))


def defs_named(body, name):
    return [n for n in body if isinstance(n, ast.FunctionDef) and n.name == name]


def class_body(tree, name):
    [cls] = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == name]
    return cls.body


# ---------------------------------------------------------------- live side

def is_defaulted(f, name, names):
    # Binding reports a missing parameter before an unexpected keyword, and
    # never runs the body when either is found.
    kwargs = {n: None for n in names if n != name}
    with pytest.raises(TypeError) as info:
        f(**kwargs, not_a_parameter=None)
    return "unexpected keyword argument 'not_a_parameter'" in str(info.value)


def live_shape(f):
    code = f.__code__
    names = list(code.co_varnames[:code.co_argcount])
    defaulted = [n for n in names if is_defaulted(f, n, names)]
    return names, dict(zip(defaulted, f.__defaults__ or (), strict=True))


def live_functions(namespace):
    """The native functions a namespace holds, by name, in binding order (each
    module has a function type of its own; host functions are Python's)."""
    return {k: v for k, v in namespace.items()
            if hasattr(v, "__code__") and not isinstance(v, types.FunctionType)}


# ---------------------------------------------------------------- the tests

@pytest.mark.parametrize("module", MODULES)
def test_stub_declares_every_name_of_the_module(module):
    live = {k for k, v in vars(importlib.import_module(module)).items()
            if not k.startswith("__") and not isinstance(v, types.ModuleType)}
    assert stub_names(stub_tree(module)) == live


@pytest.mark.parametrize("module", MODULES)
def test_stub_functions_match_parameters_and_defaults(module):
    live = importlib.import_module(module)
    tree = stub_tree(module)
    checked = []
    for name, f in live_functions(vars(live)).items():
        assert stub_shape(defs_named(tree.body, name)) == live_shape(f), name
        checked.append(name)
    for name, cls in vars(live).items():
        if isinstance(cls, type) and cls.__module__ == module:
            methods = live_functions(vars(cls))
            body = class_body(tree, name)
            assert [n.name for n in body if isinstance(n, ast.FunctionDef)] == list(methods)
            for method, f in methods.items():
                assert stub_shape(defs_named(body, method)) == live_shape(f), method
                checked.append(method)
    if module.endswith("verbs"):
        # Commands: the stub types each attribute with a command class whose
        # callback has the live callback's parameters.
        annotations = {n.target.id: n.annotation.id for n in tree.body
                       if isinstance(n, ast.AnnAssign)}
        for name in ("cli", "license", "shell", "update_data", "check_data", "download_data"):
            callback = getattr(live, name).callback
            body = class_body(tree, annotations[name])
            assert stub_shape(defs_named(body, "callback")) == live_shape(callback), name
            checked.append(name)
    assert checked


def test_license_callback_defaults_app_key_only():
    # The one function whose default does not sit on its last parameter.
    import morvel.ostra.sdk.verbs as verbs
    assert live_shape(verbs.license.callback) == (
        ["username", "password", "app_key", "show", "env"], {"app_key": None})


EXAMPLE = """
    import datetime as dt
    from typing import Any

    import numpy as np

    from morvel.ostra.mod.mod_optimizer2.mod import Optimizer2Mod
    from morvel.ostra.mod.mod_quant_data.data_sources import barmill
    from morvel.ostra.sdk import verbs
    from morvel.ostra.utils import zr_json

    bars = np.zeros(4, dtype=[("orig_time", "i8"), ("close_price", "f8")])
    out: np.ndarray = barmill.resample_bars(object(), bars, None, 2)
    barmill.resample_bars(instrument=object(), bars=bars, fields="close_price", resample=2,
                          include_last=False)
    barmill._simple_resample_bars(bars, ["close_price"], 2)
    barmill._resample_future_bars(bars, None, 5, True)

    text: str = zr_json.convert_dict_to_json({"at": dt.date(2024, 1, 2)})
    value: Any = zr_json.convert_json_to_dict(text)
    tag: dict[str, Any] = zr_json.custom_encode(dt.datetime(2024, 1, 2))
    zr_json.custom_decode(tag)

    verbs.cli.callback()
    verbs.cli.main(["--help"], standalone_mode=False)
    verbs.license.callback("user", None, show=False, env=None)
    verbs.license.callback(username="user", password=None, app_key="key", show=True, env="test")
    verbs.license.callback("user", "secret", None, False, "dev")
    verbs.shell.callback()
    verbs.update_data.callback("/data", True, (), ("stock",), False, 3, False, False)
    verbs.check_data.callback(data_bundle_path="/data", minbar=True, daybar=False)
    verbs.download_data.callback("/data")
    verbs.download_data.callback("/data", sample=False, file_path="sample.tar.bz2")
    path: str = verbs.DEFAULT_BUNDLE_PATH

    mod = Optimizer2Mod()
    mod.start_up(object(), None)
    mod.tear_down(0)
    mod.tear_down(code=1, exception=ValueError("stopped"))
"""

PLANTED = """
    import numpy as np

    from morvel.ostra.mod.mod_quant_data.data_sources import barmill
    from morvel.ostra.sdk import verbs

    bars = np.zeros(4, dtype=[("close_price", "f8")])
    barmill.resample_bars(object(), bars, None, resample="2")
    verbs.license.callback("user", None, False, None)
"""


def mypy(*args, cwd):
    return subprocess.run([sys.executable, "-m", "mypy", "--no-incremental",
                           "--no-error-summary", "--hide-error-context", *args],
                          cwd=cwd, capture_output=True, text=True, timeout=300)


def test_mypy_accepts_the_stubs_and_the_example_and_finds_the_planted_errors(tmp_path):
    # Run outside the source tree, so that mypy reads the installed stubs.
    stubs = mypy(*[arg for module in MODULES for arg in ("-p", module)], cwd=tmp_path)
    assert stubs.returncode == 0, stubs.stdout + stubs.stderr
    (tmp_path / "example.py").write_text(textwrap.dedent(EXAMPLE).lstrip())
    (tmp_path / "planted.py").write_text(textwrap.dedent(PLANTED).lstrip())
    result = mypy("example.py", "planted.py", cwd=tmp_path)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert [line.split(": error:")[0] for line in errors] == ["planted.py:7", "planted.py:8"], \
        result.stdout + result.stderr
    assert '"resample" to "resample_bars" has incompatible type "str"' in errors[0]
    assert 'No overload variant of "callback"' in errors[1]
