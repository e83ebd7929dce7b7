from typing import Any
from zentaro.mod.kelvo.errors import (
    UserError as UserError,
    get_error_message as get_error_message
)
from zentaro.mod.kelvo.event_func import EventFunc as EventFunc
import corvane.interface
import zentaro.mod.kelvo.api.api_comm as api_comm
import zentaro.mod.kelvo.research as research_cls
import zentaro.mod.kelvo.research.research_api as research_api


class KelvoMod(corvane.interface.AbstractMod):
    """Engine plug-in that connects the back-test side of the kit to a run."""

    def __init__(self) -> None:
        """Make the plug-in; it keeps no state."""

    def start_up(self, env: Any, mod_config: Any) -> None:
        """Start the stream if enabled, publish the API, register the events."""

    def tear_down(self, success: Any, exception: Any = None) -> None:
        """Raise UserError for a failed run; otherwise return None."""
