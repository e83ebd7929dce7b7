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

    def __init__(self) -> None: ...

    def set_key(self, key: str | bytes) -> None: ...

    def set_limited(self, values: str, is_limit: bool = True) -> None: ...

    def set_tofile(self, filename: str) -> Any: ...

    def info(self, message: Any, *args: Any, **kwargs: Any) -> None: ...

    def error(self, message: Any, *args: Any, **kwargs: Any) -> None: ...

    key: str | bytes
    limited: int
    log_num: int
    is_limit: bool

def logtime_support(dt_field: str) -> Callable[[Callable[..., Any]], Callable[..., Any]]: ...

class BacktestLog(Log):
    """记录内部计算用的日志信息"""

    def info(self, message: Any, *args: Any, **kwargs: Any) -> None: ...

    def error(self, message: Any, *args: Any, **kwargs: Any) -> None: ...

class ShowLog(Log):
    """记录外部展示用的日志信息"""

    def info(self, *args: object, **kwargs: Any) -> None: ...

    def error(self, *args: object, **kwargs: Any) -> None: ...

    def warn(self, *args: object, **kwargs: Any) -> None: ...

class LogEncoder(json.encoder.JSONEncoder):
    def default(self, obj: Any) -> Any: ...

in_log: BacktestLog = ...

log: ShowLog = ...

__all__: list[str] = ['in_log', 'log']
