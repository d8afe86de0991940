"""Tracebacks through the native functions, as the tools people read them with
format them: each shows the function's entry (file, line, name) and the error."""
import io
import logging
import traceback

import pytest
from _pytest._code import ExceptionInfo
from IPython.core.ultratb import FormattedTB

from morvel.ostra.mod.mod_optimizer2.mod import Optimizer2Mod
from morvel.ostra.mod.mod_quant_data.data_sources import barmill

FILE = "morvel\\ostra\\mod\\mod_optimizer2\\mod"


def logged(exc):
    stream = io.StringIO()
    logger = logging.getLogger("tracebacks-under-test")
    handler = logging.StreamHandler(stream)
    logger.addHandler(handler)
    try:
        try:
            raise exc
        except AttributeError:
            logger.exception("failed")
    finally:
        logger.removeHandler(handler)
    return stream.getvalue()


def ipython(mode):
    return lambda exc: FormattedTB(mode=mode, color_scheme="NoColor").text(
        type(exc), exc, exc.__traceback__)


LINE = Optimizer2Mod.start_up.__code__.co_firstlineno
FORMATTERS = {
    "traceback": (lambda exc: "".join(traceback.format_exception(type(exc), exc, exc.__traceback__)),
                  f'File "{FILE}", line {LINE}, in start_up'),
    "logging": (logged, f'File "{FILE}", line {LINE}, in start_up'),
    "pytest": (lambda exc: str(ExceptionInfo.from_exception(exc).getrepr()), f"{FILE}:{LINE}: AttributeError"),
    "ipython-plain": (ipython("Plain"), f"File {FILE}:{LINE} in start_up"),
    "ipython-verbose": (ipython("Verbose"), f"File {FILE}:{LINE}, in start_up"),
}


@pytest.mark.parametrize("name", FORMATTERS)
def test_formatted_traceback_shows_the_native_entry(name):
    format_exc, entry = FORMATTERS[name]
    with pytest.raises(AttributeError) as info:
        Optimizer2Mod().start_up(object(), None)
    text = format_exc(info.value)
    assert entry in text
    assert "'object' object has no attribute 'config'" in text


def test_code_objects_sit_on_their_line():
    # Position and line tables of the code objects agree with co_firstlineno:
    # the traceback module and debuggers read them rather than the frame.
    for f in (Optimizer2Mod.start_up, Optimizer2Mod.tear_down, barmill.resample_bars,
              barmill._simple_resample_bars, barmill._resample_future_bars):
        code = f.__code__
        assert code.co_name == f.__name__ and code.co_filename.startswith("morvel\\ostra\\")
        lines = {line for _, _, line in code.co_lines()}
        assert lines == {code.co_firstlineno}, f.__name__
