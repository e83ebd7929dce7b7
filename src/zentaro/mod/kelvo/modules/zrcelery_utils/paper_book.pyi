from typing import Any
from zentaro.mod.kelvo.simulate import (
    SimulateService as SimulateService
)
from zentaro.mod.kelvo.utils.wrap_utils import (
    lazy_property as lazy_property
)


class PaperBook:
    """
    实时读取simulate序列化信息获取数据
    portfolio读取当前交易组合相关信息
    ps:trade_logs交易日志将考虑像回测日志一样实时落库
    """

    def __init__(self, stock_market: str, frequency: str, paper_id: str, capital_base: float, path: str) -> None:
        """Store the account's settings and open its persisted state."""

    @property
    def portfolio(self) -> Any:
        """The portfolio restored from the persisted state (built on first read)."""

    @property
    def total_asset_value(self) -> float:
        """The portfolio's total value."""

    @property
    def ending_cash(self) -> float:
        """The portfolio's available cash."""

    @property
    def market_value(self) -> float:
        """The portfolio's market value."""

    @property
    def profit_and_loss(self) -> float:
        """The portfolio's profit and loss."""

    @property
    def positions(self) -> list[dict[str, Any]]:
        """The position records, each stamped with the time of the read."""

    def __del__(self) -> None:
        """Discard the engine environment this view built."""
