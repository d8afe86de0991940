"""Import-time behaviour of the command-line module, each case in a fresh
interpreter over a host tree that the test controls."""
import textwrap

import pytest

from support import run_python

CONST = "morvel/ostra/sdk/const.py"


def check(code, tree):
    result = run_python(textwrap.dedent(code), tree)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_module_attributes_bound_in_order(host_tree):
    out = check("""
        import morvel.ostra.sdk.verbs as v
        print([k for k in vars(v) if not k.startswith('__')])
        print(v.__doc__, v.__name__, v.__package__, v.__builtins__.__name__)
        print(type(v.update_data).__name__, v.update_data.callback.__name__)
    """, host_tree)
    names, dunders, kinds = out.splitlines()
    assert names.startswith(
        "['importlib', 'os', 'warnings', 'sys', 'click', 'DEFAULT_BUNDLE_PATH', 'TAG_MAP', "
        "'CONCERNED_PACKAGES', 'get_license_info', 'set_to_environ', 'cli'")
    assert "update_data" in names
    assert dunders == "None morvel.ostra.sdk.verbs morvel.ostra.sdk builtins"
    assert kinds == "Command update_data"


def test_second_import_gives_same_module_and_runs_steps_once(host_tree):
    out = check("""
        import sys, importlib, click
        calls = []
        real_group = click.group
        click.group = lambda *a, **k: calls.append(1) or real_group(*a, **k)
        import morvel.ostra.sdk.verbs as first
        cli = first.cli
        del sys.modules['morvel.ostra.sdk.verbs']
        second = importlib.import_module('morvel.ostra.sdk.verbs')
        print(first is second, second.cli is cli, len(calls))
    """, host_tree)
    assert out.split() == ["True", "True", "1"]


def test_exec_for_another_module_object_is_refused(host_tree):
    out = check("""
        import importlib.util
        spec = importlib.util.find_spec('morvel.ostra.sdk.verbs')
        a = importlib.util.module_from_spec(spec)
        b = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(a)
        spec.loader.exec_module(a)          # the same object again: nothing happens
        try:
            spec.loader.exec_module(b)
        except RuntimeError as e:
            print(e)
        print(importlib.util.module_from_spec(spec) is a)
    """, host_tree)
    assert out.splitlines() == [
        "Module 'verbs' has already been imported. Re-initialisation is not supported.",
        "True"]


def test_missing_host_name_fails_import_with_init_entry_and_can_be_retried(host_tree):
    const = host_tree / CONST
    const.write_text(const.read_text().replace("CONCERNED_PACKAGES =", "_HIDDEN ="))
    out = check("""
        import sys, traceback
        try:
            import morvel.ostra.sdk.verbs
        except ImportError as e:
            print(e)
            entries = traceback.extract_tb(e.__traceback__)
            print([(f.filename, f.name) for f in entries][-1])
        print('morvel.ostra.sdk.verbs' in sys.modules)
        import morvel.ostra.sdk.const as c
        c.CONCERNED_PACKAGES = ['click']
        import morvel.ostra.sdk.verbs as v
        print(v.CONCERNED_PACKAGES, v.cli.name)
    """, host_tree)
    assert out.splitlines() == [
        "cannot import name CONCERNED_PACKAGES",
        r"('morvel\\ostra\\sdk\\verbs', 'init morvel.ostra.sdk.verbs')",
        "False",
        "['click'] cli",
    ]


def test_name_found_as_submodule_in_sys_modules(host_tree):
    # `from package import name` falls back to an already imported submodule.
    out = check("""
        import sys, types
        import morvel.ostra.sdk.license_helper as lh
        fake = types.ModuleType('morvel.ostra.sdk.license_helper.set_to_environ')
        sys.modules[fake.__name__] = fake
        del lh.set_to_environ
        import morvel.ostra.sdk.verbs as v
        print(v.set_to_environ is fake)
    """, host_tree)
    assert out.strip() == "True"


@pytest.mark.parametrize("missing", ["morvel/ostra/sdk/license_helper.py", CONST])
def test_missing_host_module_fails_import(host_tree, missing):
    (host_tree / missing).unlink()
    result = run_python("import morvel.ostra.sdk.verbs", host_tree)
    assert result.returncode == 1
    assert "ModuleNotFoundError: No module named 'morvel.ostra.sdk." in result.stderr
    assert 'File "morvel\\ostra\\sdk\\verbs", line' in result.stderr
    assert "in init morvel.ostra.sdk.verbs" in result.stderr


def test_second_interpreter_is_refused(host_tree):
    out = check("""
        import sys
        import morvel.ostra.sdk.verbs
        # A subinterpreter sharing the main one's GIL: the interpreter itself
        # turns extension modules away from isolated ones before they run.
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
            interp = interpreters.create("legacy")
        else:
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(**({"isolated": False} if sys.version_info >= (3, 12) else {}))
        code = '''
        try:
            import morvel.ostra.sdk.verbs
        except ImportError as e:
            assert str(e) == ("Interpreter change detected - this module can only be "
                              "loaded into one interpreter per process."), e
        else:
            raise AssertionError("imported in a second interpreter")
        '''
        failure = interpreters.run_string(interp, __import__('textwrap').dedent(code))
        assert failure is None, failure  # from 3.13 on, failures are returned
        print('refused')
    """, host_tree)
    assert out.strip() == "refused"


def test_import_does_not_load_the_data_framework(host_tree):
    out = check("""
        import sys
        import morvel.ostra.sdk.verbs
        print(sorted(m for m in sys.modules if m.startswith(('morvel.ostra.alpha', 'morvel.ostra.utils'))))
    """, host_tree)
    assert out.strip() == "[]"
