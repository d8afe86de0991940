# The optimizer mod: loads the optimizer's API module for runs with a stock
# account.
from typing import Any

from morvel.ostra.const import DEFAULT_ACCOUNT_TYPE as DEFAULT_ACCOUNT_TYPE
from morvel.ostra.interface import AbstractMod as AbstractMod
from morvel.ostra.utils.logger import system_log as system_log

class Optimizer2Mod(AbstractMod):
    def start_up(self, env: Any, mod_config: Any) -> None: ...
    def tear_down(self, code: Any, exception: BaseException | None = None) -> None: ...
