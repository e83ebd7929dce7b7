from collections.abc import Callable
import corvane.utils.logger
import json.encoder


system_log: corvane.utils.logger.EngineLogger = ...

user_normal_log: corvane.utils.logger.EngineLogger = ...

class Log:
    """记录数据，送入消息中间件"""

    topic: str = 'Log'

    has_error: bool = False

    LIMIT_MSG: dict = {'ALL' : 0, 'INFO' : 1, 'WARN' : 2, 'ERROR' : 3}

    LOG_LIMIT_NUM: int = 10000

    def __init__(self) -> None: ...

    def set_key(self, key: object | None) -> None: ...

    def set_limited(self, values: object | None, is_limit: object | None = True) -> None: ...

    def set_tofile(self, filename: object | None) -> object: ...

    def info(self, message: object | None, *args, **kwargs) -> object: ...

    def error(self, message: object | None, *args, **kwargs) -> object: ...

def logtime_support(dt_field: object | None) -> object: ...

class BacktestLog(Log):
    """记录内部计算用的日志信息"""

    info: Callable[..., object]

    error: Callable[..., object]

class ShowLog(Log):
    """记录外部展示用的日志信息"""

    info: Callable[..., object]

    error: Callable[..., object]

    warn: Callable[..., object]

class LogEncoder(json.encoder.JSONEncoder):
    def default(self, obj: object | None) -> object: ...

in_log: BacktestLog = ...

log: ShowLog = ...

__all__: list = ['in_log', 'log']
