import contextlib

import numpy as np
import pytest

from bar_support import Recorder, rebound
from morvel.ostra.mod.mod_quant_data.data_sources import barmill as _barmill


@pytest.fixture
def bm():
    return _barmill


@pytest.fixture
def fixed_minutes(bm):
    """Makes the module's to_minutes return the given ordinals."""
    stack = contextlib.ExitStack()

    def use(ordinals):
        values = np.array(ordinals, dtype=np.int64)
        return stack.enter_context(rebound(bm, "to_minutes", Recorder(lambda _col: values)))

    with stack:
        yield use
