from zentaro.mod.kelvo.errors import (
    UserError as UserError,
    get_error_message as get_error_message
)
from zentaro.mod.kelvo.event_func import EventFunc as EventFunc
import _abc
import corvane.interface
import zentaro.mod.kelvo.api.api_comm as api_comm
import zentaro.mod.kelvo.research as research_cls
import zentaro.mod.kelvo.research.research_api as research_api


class KelvoMod(corvane.interface.AbstractMod):
    def __init__(self) -> None: ...

    def start_up(self, env: object | None, mod_config: object | None) -> None: ...

    def tear_down(self, success: object | None, exception: object | None = None) -> None: ...

    __abstractmethods__: frozenset = ...

    _abc_impl: _abc._abc_data = ...
