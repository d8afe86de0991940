import abc
import logging
import subprocess
import textwrap
import traceback
import types

import pytest

from morvel.ostra import const, interface
from support import copy_installed_package, tree_command, tree_env
from morvel.ostra.mod.mod_optimizer2 import mod
from morvel.ostra.utils import logger

Optimizer2Mod = mod.Optimizer2Mod
NS = types.SimpleNamespace
STOCK = const.DEFAULT_ACCOUNT_TYPE.STOCK


def make_env(accounts):
    return NS(config=NS(base=NS(accounts=accounts)))


# ---------------------------------------------------------------- controlled host tree
# Import-time behaviour is checked in fresh interpreters that load a copy of
# the installed package (native modules included) with some host files
# replaced.

API_COUNTING = (
    "import builtins\n"
    "builtins.api_imports = getattr(builtins, 'api_imports', 0) + 1\n"
)


@pytest.fixture
def host_tree(tmp_path):
    """Copy of the installed `morvel` tree; returns (write, run)."""
    root = tmp_path / "tree"
    copy_installed_package(root / "morvel")
    (root / "morvel/ostra/mod/mod_optimizer2/api.py").write_text(API_COUNTING)

    def write(relative, text):
        path = root / "morvel" / relative
        if text is None:
            path.unlink()
        else:
            path.write_text(textwrap.dedent(text))

    def run(code):
        prelude = ("import morvel, sys\n"
                   f"assert morvel.__file__.startswith({str(root)!r}), morvel.__file__\n")
        done = subprocess.run(tree_command(prelude + textwrap.dedent(code)), env=tree_env(root),
                              capture_output=True, text=True, cwd=str(tmp_path))
        assert done.returncode == 0, done.stderr
        return done.stdout.splitlines()

    return write, run


START_UP = """
import builtins, sys, types
from morvel.ostra.const import DEFAULT_ACCOUNT_TYPE as T
from morvel.ostra.mod.mod_optimizer2.mod import Optimizer2Mod
NS = types.SimpleNamespace
env = {env}
try:
    print(repr(Optimizer2Mod().start_up(env, None)))
except Exception as e:
    print(type(e).__name__, e)
print("morvel.ostra.mod.mod_optimizer2.api" in sys.modules, getattr(builtins, "api_imports", 0))
"""


@pytest.mark.parametrize("env, result, loaded", [
    ("NS(config=NS(base=NS(accounts={T.STOCK: 1e6})))", "None", "True 1"),
    ("NS(config=NS(base=NS(accounts=[T.FUTURE, T.STOCK])))", "None", "True 1"),
    ("NS(config=NS(base=NS(accounts={T.STOCK})))", "None", "True 1"),
    ("NS(config=NS(base=NS(accounts={T.FUTURE: 1e6})))", "None", "False 0"),
    ("NS(config=NS(base=NS(accounts={'main': T.STOCK})))", "None", "False 0"),
    ("NS(config=NS(base=NS(accounts=[])))", "None", "False 0"),
    ("NS()", "AttributeError 'types.SimpleNamespace' object has no attribute 'config'", "False 0"),
    ("NS(config=NS(base=NS()))",
     "AttributeError 'types.SimpleNamespace' object has no attribute 'accounts'", "False 0"),
    ("NS(config=NS(base=NS(accounts=object())))",
     "TypeError argument of type 'object' is not iterable", "False 0"),
], ids=["dict", "list", "set", "dict-without-stock", "stock-as-value", "empty",
        "no-config", "no-accounts", "no-membership"])
def test_start_up_loads_api_only_for_a_stock_account(host_tree, env, result, loaded):
    _, run = host_tree
    assert run(START_UP.format(env=env)) == [result, loaded]


def test_api_module_runs_once_and_leaves_no_name_behind(host_tree):
    _, run = host_tree
    out = run("""
        import builtins, types
        from morvel.ostra.const import DEFAULT_ACCOUNT_TYPE as T
        from morvel.ostra.mod.mod_optimizer2 import mod
        NS = types.SimpleNamespace
        env = NS(config=NS(base=NS(accounts=[T.STOCK])))
        m = mod.Optimizer2Mod()
        print(m.start_up(env, None), m.start_up(env, {}), mod.Optimizer2Mod().start_up(env, 1))
        import morvel.ostra.mod.mod_optimizer2.api
        print(builtins.api_imports, "api" in vars(mod))
    """)
    assert out == ["None None None", "1 False"]


@pytest.mark.parametrize("api_source, expected", [
    (None, "ImportError cannot import name api"),
    ("raise RuntimeError('no optimizer licence')\n", "RuntimeError no optimizer licence"),
    ("import morvel.ostra.missing_piece\n",
     "ModuleNotFoundError No module named 'morvel.ostra.missing_piece'"),
], ids=["missing", "raises", "imports-missing"])
def test_api_import_failures_propagate(host_tree, api_source, expected):
    write, run = host_tree
    write("ostra/mod/mod_optimizer2/api.py", api_source)
    env = "NS(config=NS(base=NS(accounts=[T.STOCK])))"
    assert run(START_UP.format(env=env))[0] == expected


# ---------------------------------------------------------------- class statement
# The native class is compared with what a Python class statement makes of
# the same base, for host layers with unusual bases and metaclasses.

CLASS_BUILD = """
import importlib
from morvel.ostra.interface import AbstractMod

def python_twin():
    class Optimizer2Mod(AbstractMod):
        def start_up(self, env, mod_config):
            pass

        def tear_down(self, code, exception=None):
            pass
    return Optimizer2Mod

def native():
    return importlib.import_module("morvel.ostra.mod.mod_optimizer2.mod").Optimizer2Mod

def describe(make):
    try:
        cls = make()
    except Exception as e:
        return type(e).__name__, str(e)
    recorded = getattr(cls, "recorded", None)
    if recorded:
        # From 3.13 on a class statement also sets these two; the native class
        # keeps the namespace it has on 3.10.
        added = ("__firstlineno__", "__static_attributes__")
        recorded = recorded[:3] + ([k for k in recorded[3] if k not in added],)
    return (type(cls).__name__, [b.__name__ for b in cls.__bases__],
            "__orig_bases__" in vars(cls) and cls.__orig_bases__ == (AbstractMod,),
            recorded)

got, want = describe(native), describe(python_twin)
print(got == want)
print(got)
"""

RECORDING_METACLASS = """
import abc

class Recording(dict):
    def __init__(self):
        super().__init__()
        self.keys_set = []

    def __setitem__(self, key, value):
        self.keys_set.append(key)
        super().__setitem__(key, value)

class Meta(abc.ABCMeta):
    @classmethod
    def __prepare__(mcs, name, bases, **kwargs):
        return Recording()

    def __new__(mcs, name, bases, namespace):
        cls = super().__new__(mcs, name, bases, namespace)
        cls.recorded = (name, [b.__name__ for b in bases], type(namespace).__name__,
                        namespace.keys_set)
        return cls

class AbstractMod(metaclass=Meta):
    pass
"""

MRO_ENTRIES = """
class Concrete:
    pass

class Marker:
    def __mro_entries__(self, bases):
        return (Concrete,)

AbstractMod = Marker()
"""

DERIVED_METACLASS_LATER = """
class Meta(type):
    pass

class Plain:
    pass

class Special(metaclass=Meta):
    pass

class Marker:
    def __mro_entries__(self, bases):
        return (Plain, Special)

AbstractMod = Marker()
"""

METACLASS_CONFLICT = """
class M1(type):
    pass

class M2(type):
    pass

class A(metaclass=M1):
    pass

class B(metaclass=M2):
    pass

class Marker:
    def __mro_entries__(self, bases):
        return (A, B)

AbstractMod = Marker()
"""

NOT_A_TUPLE = """
class Marker:
    def __mro_entries__(self, bases):
        return [object]

AbstractMod = Marker()
"""

NOT_A_MAPPING = """
class Meta(type):
    @classmethod
    def __prepare__(mcs, name, bases):
        return {} if name == "AbstractMod" else 42

class AbstractMod(metaclass=Meta):
    pass
"""


@pytest.mark.parametrize("interface_source, expected", [
    (None, "('ABCMeta', ['AbstractMod'], False, None)"),
    (RECORDING_METACLASS,
     "('Meta', ['AbstractMod'], False, ('Optimizer2Mod', ['AbstractMod'], 'Recording', "
     "['__module__', '__qualname__', 'start_up', 'tear_down']))"),
    (MRO_ENTRIES, "('type', ['Concrete'], True, None)"),
    (DERIVED_METACLASS_LATER, "('Meta', ['Plain', 'Special'], True, None)"),
    (METACLASS_CONFLICT,
     "('TypeError', 'metaclass conflict: the metaclass of a derived class must be a "
     "(non-strict) subclass of the metaclasses of all its bases')"),
    (NOT_A_TUPLE, "('TypeError', '__mro_entries__ must return a tuple')"),
    (NOT_A_MAPPING, "('TypeError', 'Meta.__prepare__() must return a mapping, not int')"),
], ids=["abcmeta", "prepare", "mro-entries", "derived-metaclass-later", "conflict",
        "entries-not-tuple", "prepare-not-mapping"])
def test_class_is_built_like_a_class_statement(host_tree, interface_source, expected):
    write, run = host_tree
    if interface_source is not None:
        write("ostra/interface.py", interface_source)
    assert run(CLASS_BUILD) == ["True", expected]


def test_failed_class_build_names_the_module_in_the_traceback(host_tree):
    write, run = host_tree
    write("ostra/interface.py", METACLASS_CONFLICT)
    out = run("""
        import traceback
        try:
            import morvel.ostra.mod.mod_optimizer2.mod
        except TypeError as e:
            print(traceback.extract_tb(e.__traceback__)[-1].name)
        print("morvel.ostra.mod.mod_optimizer2.mod" in sys.modules)
    """)
    assert out == ["init morvel.ostra.mod.mod_optimizer2.mod", "False"]


@pytest.mark.parametrize("module, name", [
    ("morvel/ostra/const.py", "DEFAULT_ACCOUNT_TYPE"),
    ("morvel/ostra/interface.py", "AbstractMod"),
    ("morvel/ostra/utils/logger.py", "system_log"),
])
def test_missing_host_name_fails_the_import(host_tree, module, name):
    write, run = host_tree
    write(module.split("/", 1)[1], "")
    out = run("""
        try:
            import morvel.ostra.mod.mod_optimizer2.mod
        except ImportError as e:
            print(type(e).__name__, e)
    """)
    assert out == [f"ImportError cannot import name {name}"]


# ---------------------------------------------------------------- in process

def test_class_and_module_shape():
    assert list(vars(mod))[-4:] == ["DEFAULT_ACCOUNT_TYPE", "AbstractMod", "system_log",
                                    "Optimizer2Mod"]
    assert (mod.DEFAULT_ACCOUNT_TYPE, mod.AbstractMod, mod.system_log) == \
        (const.DEFAULT_ACCOUNT_TYPE, interface.AbstractMod, logger.system_log)
    assert mod.__doc__ is None

    assert type(Optimizer2Mod) is abc.ABCMeta and Optimizer2Mod.__bases__ == (interface.AbstractMod,)
    assert (Optimizer2Mod.__name__, Optimizer2Mod.__qualname__, Optimizer2Mod.__module__,
            Optimizer2Mod.__doc__) == ("Optimizer2Mod", "Optimizer2Mod",
                                       "morvel.ostra.mod.mod_optimizer2.mod", None)
    assert list(vars(Optimizer2Mod))[:3] == ["__module__", "start_up", "tear_down"]
    assert "__orig_bases__" not in vars(Optimizer2Mod) and "__init__" not in vars(Optimizer2Mod)
    assert Optimizer2Mod.__abstractmethods__ == frozenset()

    for name, params in [("start_up", ("self", "env", "mod_config")),
                         ("tear_down", ("self", "code", "exception"))]:
        f = vars(Optimizer2Mod)[name]
        assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == \
            (name, "Optimizer2Mod." + name, "morvel.ostra.mod.mod_optimizer2.mod", None)
        assert f.__code__.co_varnames == params
    assert Optimizer2Mod.tear_down.__defaults__ == (None,)
    assert Optimizer2Mod.start_up.__defaults__ is None


class Recorder:
    """Logs every attribute read, and membership tests, in one shared list."""

    def __init__(self, log, name, **attrs):
        self._log, self._name, self._attrs = log, name, attrs

    def __getattr__(self, attr):
        self._log.append(f"{self._name}.{attr}")
        return self._attrs[attr]

    def __contains__(self, item):
        self._log.append(f"{item} in {self._name}")
        return False


def test_start_up_reads_in_order(monkeypatch):
    log = []
    monkeypatch.setattr(mod, "DEFAULT_ACCOUNT_TYPE", Recorder(log, "TYPES", STOCK="stock"))
    accounts = Recorder(log, "accounts")
    env = Recorder(log, "env", config=Recorder(log, "config", base=Recorder(log, "base", accounts=accounts)))

    assert Optimizer2Mod().start_up(env, None) is None
    assert log == ["TYPES.STOCK", "env.config", "config.base", "base.accounts", "stock in accounts"]


class Tripwire:
    """A mod_config that fails on any use."""

    def _fail(self, *args):
        raise AssertionError("mod_config was used")

    __getattr__ = __bool__ = __len__ = __iter__ = __contains__ = __getitem__ = __eq__ = _fail
    __hash__ = None


@pytest.mark.parametrize("make_config", [lambda: None, dict, lambda: {"enabled": False}, Tripwire],
                         ids=["none", "empty", "dict", "tripwire"])
def test_start_up_ignores_mod_config(make_config):
    mod_config = make_config()
    assert Optimizer2Mod().start_up(make_env([]), mod_config) is None
    assert Optimizer2Mod().start_up(env=make_env(()), mod_config=mod_config) is None


def test_rebound_account_type_takes_effect(monkeypatch):
    monkeypatch.setattr(mod, "DEFAULT_ACCOUNT_TYPE", NS(STOCK="stock"))
    with pytest.raises(TypeError, match="argument of type 'int' is not iterable"):
        Optimizer2Mod().start_up(make_env(5), None)
    monkeypatch.delattr(mod, "DEFAULT_ACCOUNT_TYPE")
    with pytest.raises(NameError, match="^name 'DEFAULT_ACCOUNT_TYPE' is not defined$"):
        Optimizer2Mod().start_up(make_env([]), None)


def test_start_up_traceback_names_the_module_source():
    with pytest.raises(AttributeError) as info:
        Optimizer2Mod().start_up(object(), None)
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    assert (last.filename, last.name) == ("morvel\\ostra\\mod\\mod_optimizer2\\mod", "start_up")


@pytest.mark.parametrize("call", [
    lambda m: m.tear_down(0),
    lambda m: m.tear_down(1, ValueError("boom")),
    lambda m: m.tear_down(code=1, exception=ValueError("boom")),
    lambda m: m.tear_down(exception=None, code=0),
    lambda m: Optimizer2Mod.tear_down(m, 0),
], ids=["code", "code-exc", "keywords", "keywords-reversed", "unbound"])
def test_tear_down_forms_return_none_without_logging(call, caplog):
    caplog.set_level(logging.DEBUG)
    assert call(Optimizer2Mod()) is None
    assert caplog.records == []


@pytest.mark.parametrize("call, message", [
    (lambda m: m.start_up(make_env([])),
     "start_up() takes exactly 3 positional arguments (2 given)"),
    (lambda m: m.start_up(make_env([]), None, None),
     "start_up() takes exactly 3 positional arguments (4 given)"),
    (lambda m: m.start_up(make_env([]), None, env=None),
     "start_up() got multiple values for keyword argument 'env'"),
    (lambda m: m.start_up(env=make_env([]), mod_config=None, config=None),
     "start_up() got an unexpected keyword argument 'config'"),
    (lambda m: m.tear_down(),
     "tear_down() takes at least 2 positional arguments (1 given)"),
    (lambda m: m.tear_down(0, None, None),
     "tear_down() takes at most 3 positional arguments (4 given)"),
    (lambda m: m.tear_down(0, code=0),
     "tear_down() got multiple values for keyword argument 'code'"),
    (lambda m: m.tear_down(0, exc=None),
     "tear_down() got an unexpected keyword argument 'exc'"),
], ids=["start-short", "start-long", "start-twice", "start-unknown", "tear-short",
        "tear-long", "tear-twice", "tear-unknown"])
def test_argument_errors_count_self(call, message):
    with pytest.raises(TypeError) as info:
        call(Optimizer2Mod())
    assert str(info.value) == message
