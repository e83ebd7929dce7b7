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

    def __init__(self, stock_market: str, frequency: str, paper_id: str, capital_base: float, path: str) -> None: ...

    @property
    def portfolio(self) -> Any: ...

    @property
    def total_asset_value(self) -> float: ...

    @property
    def ending_cash(self) -> float: ...

    @property
    def market_value(self) -> float: ...

    @property
    def profit_and_loss(self) -> float: ...

    @property
    def positions(self) -> list[dict[str, Any]]: ...

    def __del__(self) -> None: ...
