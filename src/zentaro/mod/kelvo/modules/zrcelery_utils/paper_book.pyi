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

    def __init__(self, stock_market, frequency, paper_id, capital_base, path):
        """Store the account's settings and open its persisted state."""

    portfolio: zentaro.mod.kelvo.utils.wrap_utils.lazy_property = ...

    @property
    def total_asset_value(self):
        """The portfolio's total value."""

    @property
    def ending_cash(self):
        """The portfolio's available cash."""

    @property
    def market_value(self):
        """The portfolio's market value."""

    @property
    def profit_and_loss(self):
        """The portfolio's profit and loss."""

    @property
    def positions(self):
        """The position records, each stamped with the time of the read."""

    def __del__(self):
        """Discard the engine environment this view built."""
