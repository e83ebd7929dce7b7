from collections.abc import Callable, Mapping
from typing import Any
from zentaro.mod.kelvo.utils.ratelimit import limits as limits
from zentaro.mod.tradeapi.sdk.client_rv import (
    RavineClient as RavineClient
)
from zentaro.mod.tradeapi.sdk.utils import NameDict as NameDict
from zentaro.utils.exception import TradeException as TradeException
import datetime
import enum
import zentaro.mod.tradeapi.sdk.utils
import zentaro.utils.logger


system_log: zentaro.utils.logger._SafeLogger = ...

class SideMixin:
    @classmethod
    def revert(cls, num: int) -> str | int: ...

class SIDE(SideMixin, enum.Enum):
    BUY = 0

    SALE = 1

    PURCHASE = 4

    REDEEM = 5

    FINANCE_BUY = 6

    STOCK_SALE = 7

    SALE_REPAY = 8

    BUY_REPAY = 9

    DIRECT_REPAY = 10

    STOCK_REPAY = 11

    STOCK_REPAY_TRANSFER = 14

    STOCK_LEFT_TRANSFER = 15

    IPO = 16

class MARKET:
    re_convert: dict[str, int] = ...

    re_revert: dict[str, str] = ...

    @classmethod
    def convert(cls, symbol: str) -> int | None: ...

    @classmethod
    def revert(cls, symbol: str) -> str | None: ...

class PRICETYPE:
    price_revert: dict[int, str] = {0 : '限价单', 3 : '市价单'}

    @classmethod
    def revert(cls, num: int) -> str | None: ...

class TraderRPC:
    _instance: Any = None

    @staticmethod
    def __new__(cls) -> Any: ...

def rate_limit(calls: int = 1, period: float = 3, raise_message: str | None = None) -> Callable[[Callable[..., Any]], Callable[..., Any]]: ...

class TradeAPI:
    SIDE = SIDE

    MARKET = MARKET

    PRICETYPE = PRICETYPE

    def __init__(self, account_id: str | int) -> None: ...

    def _get_account_token(self, force: bool = False) -> str: ...

    def __del__(self) -> None: ...

    @property
    def portfolio(self) -> zentaro.mod.tradeapi.sdk.utils.NameDict: ...

    @property
    def positions(self) -> dict[str, zentaro.mod.tradeapi.sdk.utils.NameDict]: ...

    def get_tradelogs(self) -> list[zentaro.mod.tradeapi.sdk.utils.NameDict]: ...

    def secondary_orders(self, *, raise_on_limit: bool = True, sleep_on_limit: bool = False) -> list[zentaro.mod.tradeapi.sdk.utils.NameDict]: ...

    def _trans_inst(self, item: Mapping[str, Any]) -> zentaro.mod.tradeapi.sdk.utils.NameDict: ...

    def get_orders(self, order_id: str | int | None = None, start_time: str | datetime.date | None = None, end_time: str | datetime.date | None = None) -> list[zentaro.mod.tradeapi.sdk.utils.NameDict]: ...

    def _trans_order(self, item: Mapping[str, Any]) -> zentaro.mod.tradeapi.sdk.utils.NameDict: ...

    def register_push(self, orderpush: Callable[[zentaro.mod.tradeapi.sdk.utils.NameDict], object] | None = None) -> None:
        """注册推送回调"""

    account_id: str | int
    timeout: int
    _trade_type: str
    _account_token: str | None

__all__: list[str] = ['TradeAPI']

def main() -> None:
    """Print the funds, positions, trades and orders of the sample account."""
