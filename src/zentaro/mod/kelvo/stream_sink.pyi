from typing import Any
from zentaro.mod.kelvo.utils.paths import TempDir as TempDir
import zentaro.mod.kelvo.utils.recorder


in_log: zentaro.mod.kelvo.utils.recorder.BacktestLog = ...

log: zentaro.mod.kelvo.utils.recorder.ShowLog = ...

class StreamSink:
    """Collects a back-test's results from the engine's events."""

    def __init__(self, env: Any, daily_last_event: Any, collect_trade: bool = True, style: str = 'NORMAL') -> None:
        """Keep the run's environment and settings; register nothing yet."""

    def register_event(self) -> None:
        """Route the user loggers through `log`; add seven listeners."""

    def system_init(self, event: Any) -> None:
        """Note the length of the trading calendar."""

    def process_init(self, event: Any) -> None:
        """Write the first result record, stamped 15:30 the day before start."""

    def trade_init(self, event: Any) -> None:
        """Empty the day's trade list in place."""

    def trade_add(self, event: Any) -> None:
        """Collect the event's trade, or write it at once when not collecting."""

    def backtest_trade_data(self, event: Any) -> None:
        """Count a settlement and write its summary and result records."""

    def output_record(self, event: Any) -> None:
        """Write the user record, if any, and start a new one."""

    def output_profile(self, event: Any) -> None:
        """Write the line profiler's report through `log`."""

    def get_backtest_data(self) -> dict[str, Any]:
        """Return a new result record of progress, portfolio and trades."""
