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
    """Reverse lookup of an enumeration's members by value."""

    @classmethod
    def revert(cls, num: int) -> str | int:
        """
        Return the name of the member whose value is num, or num itself when no member has it.
        """

class SIDE(SideMixin, enum.Enum):
    """Order sides of the broker's answers."""

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
    """
    Exchanges: qualified symbols to market numbers and bare codes to exchange suffixes.
    """

    re_convert: dict[str, int] = ...

    re_revert: dict[str, str] = ...

    @classmethod
    def convert(cls, symbol: str) -> int | None:
        """
        Return the market number of the first re_convert pattern that matches symbol, or None.
        """

    @classmethod
    def revert(cls, symbol: str) -> str | None:
        """
        Return the exchange suffix of the first re_revert pattern that matches symbol, or None.
        """

class PRICETYPE:
    """Price types of the broker's answers and their display texts."""

    price_revert: dict[int, str] = {0 : '限价单', 3 : '市价单'}

    @classmethod
    def revert(cls, num: int) -> str | None:
        """Return the display text of a price-type number, or None."""

class TraderRPC:
    """Holder of the broker client that every TradeAPI of the process shares."""

    _instance: Any = None

    @staticmethod
    def __new__(cls) -> Any:
        """Return the process's shared broker client, creating it on first use."""

def rate_limit(calls: int = 1, period: float = 3, raise_message: str | None = None) -> Callable[[Callable[..., Any]], Callable[..., Any]]:
    """
    Return a decorator that lets a method through at most `calls` times in any `period` seconds, reporting a refused call with raise_message.
    """

class TradeAPI:
    """Handle on one live brokerage account served by the trading RPC."""

    SIDE = SIDE

    MARKET = MARKET

    PRICETYPE = PRICETYPE

    def __init__(self, account_id: str | int) -> None:
        """Bind the handle to an account id; no request is made."""

    def _get_account_token(self, force: bool = False) -> str:
        """
        Return the account's fund token, looked up once per object (again when force is true).
        """

    def __del__(self) -> None:
        """Drop this object's reference to the shared broker client."""

    @property
    def portfolio(self) -> zentaro.mod.tradeapi.sdk.utils.NameDict:
        """The account's funds, as one record."""

    @property
    def positions(self) -> dict[str, zentaro.mod.tradeapi.sdk.utils.NameDict]:
        """The account's positions, a dict from symbol to record."""

    def get_tradelogs(self) -> list[zentaro.mod.tradeapi.sdk.utils.NameDict]:
        """Return the account's trades as a list of records."""

    def secondary_orders(self, *, raise_on_limit: bool = True, sleep_on_limit: bool = False) -> list[zentaro.mod.tradeapi.sdk.utils.NameDict]:
        """
        Return the account's broker orders as a list of records (at most one call every 3 seconds in the process).
        """

    def _trans_inst(self, item: Mapping[str, Any]) -> zentaro.mod.tradeapi.sdk.utils.NameDict:
        """Convert one order-instruction record into a record."""

    def get_orders(self, order_id: str | int | None = None, start_time: str | datetime.date | None = None, end_time: str | datetime.date | None = None) -> list[zentaro.mod.tradeapi.sdk.utils.NameDict]:
        """
        Return the account's order instructions as a list of records: all, one by id, or those of a time range.
        """

    def _trans_order(self, item: Mapping[str, Any]) -> zentaro.mod.tradeapi.sdk.utils.NameDict:
        """Convert one pushed order record into a record."""

    def register_push(self, orderpush: Callable[[zentaro.mod.tradeapi.sdk.utils.NameDict], object] | None = None) -> None:
        """注册推送回调"""

    account_id: str | int
    timeout: int
    _trade_type: str
    _account_token: str | None

__all__: list[str] = ['TradeAPI']
