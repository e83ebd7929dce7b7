from collections.abc import Callable
from typing import Any
import corvane.utils.logger
import json.encoder


system_log: corvane.utils.logger.EngineLogger = ...

user_normal_log: corvane.utils.logger.EngineLogger = ...

class Log:
    """记录数据，送入消息中间件"""

    topic: str = 'Log'

    has_error: bool = False

    LIMIT_MSG: dict[str, int] = {'ALL' : 0, 'INFO' : 1, 'WARN' : 2, 'ERROR' : 3}

    LOG_LIMIT_NUM: int = 10000

    def __init__(self) -> None:
        """Start not keyed, with threshold ALL and counting on."""

    def set_key(self, key: str | bytes) -> None:
        """Set the back-test key (UTF-8 bytes) and restart the line count."""

    def set_limited(self, values: str, is_limit: bool = True) -> None:
        """Set the level threshold by name and switch counting on or off."""

    def set_tofile(self, filename: str) -> Any:
        """Also write the user log to a file; False when the log is keyed."""

    def info(self, message: Any, *args: Any, **kwargs: Any) -> None:
        """Write an info message; subclasses implement it."""

    def error(self, message: Any, *args: Any, **kwargs: Any) -> None:
        """Write an error message; subclasses implement it."""

    key: str | bytes
    limited: int
    log_num: int
    is_limit: bool

def logtime_support(dt_field: str) -> Callable[[Callable[..., Any]], Callable[..., Any]]:
    """Decorator adding the engine's current time as `datetime`."""

class BacktestLog(Log):
    """记录内部计算用的日志信息"""

    def info(self, message: Any, *args: Any, **kwargs: Any) -> None:
        """Hand the record to the engine's user log unless the log is keyed."""

    def error(self, message: Any, *args: Any, **kwargs: Any) -> None:
        """Write the record as an error; keyed, re-raise the handled error once."""

class ShowLog(Log):
    """记录外部展示用的日志信息"""

    def info(self, *args: object, **kwargs: Any) -> None:
        """Write the arguments as one line, within the threshold and line limit."""

    def error(self, *args: object, **kwargs: Any) -> None:
        """Write the arguments as an error line, then re-raise the handled error."""

    def warn(self, *args: object, **kwargs: Any) -> None:
        """Write the arguments as a warning line."""

class LogEncoder(json.encoder.JSONEncoder):
    """JSON encoder that writes unknown objects as their text."""

    def default(self, obj: Any) -> Any:
        """Encode what JSON can, else the object's str."""

in_log: BacktestLog = ...

log: ShowLog = ...

__all__: list[str] = ['in_log', 'log']
