"""Import failures of the native modules: the real exception, an "init"
traceback entry, and nothing half-built left behind.  Each case runs in a
fresh interpreter."""
import textwrap

import pytest

from support import installed_library, run_python

DATA_SOURCES = installed_library("morvel.ostra.mod.mod_quant_data.data_sources.barmill").parent

# Prints the exception's type and text, then the module's "init" entry.
REPORT = """
    except BaseException as e:
        import traceback
        print(type(e).__name__, e, sep=": ")
        for entry in traceback.extract_tb(e.__traceback__):
            if entry.name.startswith("init "):
                print(entry.name, entry.filename, entry.lineno, sep=" | ")
"""


def report(body):
    code = "try:\n" + textwrap.indent(textwrap.dedent(body), "    ") + textwrap.dedent(REPORT)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


@pytest.mark.parametrize("body, error, entry", [
    pytest.param("""
        import click
        def group(*a, **k):
            raise RuntimeError("no groups today")
        click.group = group
        import morvel.ostra.sdk.verbs
    """, "RuntimeError: no groups today", "init morvel.ostra.sdk.verbs | morvel\\ostra\\sdk\\verbs | 28",
        id="verbs-click-group-raises"),
    pytest.param("""
        import builtins, traceback
        del builtins.any
        import morvel.ostra.sdk.verbs
    """, "NameError: name 'any' is not defined", "init morvel.ostra.sdk.verbs | morvel\\ostra\\sdk\\verbs | 1",
        id="verbs-without-any"),
    pytest.param("""
        import sys, simplejson
        sys.modules["datetime"] = None
        import morvel.ostra.utils.zr_json
    """, "ModuleNotFoundError: import of datetime halted; None in sys.modules",
        "init morvel.ostra.utils.zr_json | morvel\\ostra\\utils\\zr_json | 4",
        id="zr_json-without-datetime"),
])
def test_import_fails_with_the_steps_own_exception(body, error, entry):
    assert report(body) == [error, entry]


def test_failed_import_under_another_name_leaves_no_module_behind():
    # Loaded as a top-level module its relative import fails; the full-name
    # entry the exec step made must go with it.
    out = report(f"""
        import sys
        sys.path.insert(0, {str(DATA_SOURCES)!r})
        try:
            import barmill
        except ImportError as e:
            print("first:", type(e).__name__)
        print("left:", "morvel.ostra.mod.mod_quant_data.data_sources.barmill" in sys.modules)
        from morvel.ostra.mod.mod_quant_data.data_sources import barmill
        print("second:", callable(barmill.resample_bars), barmill.__name__)
        raise SystemExit
    """)
    assert out[:3] == ["first: ImportError", "left: False",
                       "second: True morvel.ostra.mod.mod_quant_data.data_sources.barmill"]


def test_an_entry_made_by_someone_else_is_left_alone():
    out = report("""
        import importlib.util, sys, types
        spec = importlib.util.find_spec("morvel.ostra.utils.zr_json")
        placeholder = types.ModuleType("placeholder")
        sys.modules["morvel.ostra.utils.zr_json"] = placeholder
        sys.modules["simplejson"] = None
        module = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(module)
        except ImportError:
            pass
        print(sys.modules["morvel.ostra.utils.zr_json"] is placeholder)
        raise SystemExit
    """)
    assert out[0] == "True"
