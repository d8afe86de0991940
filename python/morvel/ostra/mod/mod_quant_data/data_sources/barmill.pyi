# Bar resampling.  `fields` is None (all fields of the input), one field name
# (the result is then that field's array) or an iterable of field names.
from typing import Any, Iterable

import numpy as np

from morvel.ostra.mod.mod_quant_data.data_sources.tight_loops import (
    to_minutes as to_minutes,
    unique_sorted as unique_sorted,
)

FIELD_AGG_FUNCTIONS: dict[str, str | np.ufunc]

def resample_bars(
    instrument: Any, bars: np.ndarray, fields: str | Iterable[str] | None, resample: int,
    include_last: bool = True,
) -> np.ndarray: ...
def _simple_resample_bars(
    bars: np.ndarray, fields: str | Iterable[str] | None, resample: int,
    include_last: bool = True,
) -> np.ndarray: ...

TIME_MODULER: np.int64
HUNDREND: np.int64
MINUTES_PER_HOUR: np.int64
MINUTES_PER_DAY: np.int64

def _resample_future_bars(
    bars: np.ndarray, fields: str | Iterable[str] | None, resample: int,
    include_last: bool = True,
) -> np.ndarray: ...
