from zentaro.mod.kelvo.simulate import (
    SimulateService as SimulateService
)
from zentaro.mod.kelvo.utils.wrap_utils import (
    lazy_property as lazy_property
)
import zentaro.mod.kelvo.utils.wrap_utils


class PaperBook:
    """
    实时读取simulate序列化信息获取数据
        portfolio读取当前交易组合相关信息
        ps:trade_logs交易日志将考虑像回测日志一样实时落库
    """

    def __init__(self, stock_market: object | None, frequency: object | None, paper_id: object | None, capital_base: object | None, path: object | None) -> None: ...

    portfolio: zentaro.mod.kelvo.utils.wrap_utils.lazy_property = ...

    @property
    def total_asset_value(self) -> object: ...

    @property
    def ending_cash(self) -> object: ...

    @property
    def market_value(self) -> object: ...

    @property
    def profit_and_loss(self) -> object: ...

    @property
    def positions(self) -> object: ...

    def __del__(self) -> None: ...
