from zentaro.mod.kelvo.utils.ratelimit import limits as limits
from zentaro.mod.tradeapi.sdk.client_rv import (
    RavineClient as RavineClient
)
from zentaro.mod.tradeapi.sdk.utils import NameDict as NameDict
from zentaro.utils.exception import TradeException as TradeException
import enum
import zentaro.utils.logger


system_log: zentaro.utils.logger._SafeLogger = ...

class SideMixin:
    """Reverse lookup of an enumeration's members by value."""

    @classmethod
    def revert(cls, num):
        """
        Return the name of the member whose value is num, or num itself when no member has it.
        """

class SIDE(SideMixin, enum.Enum):
    """Order sides of the broker's answers."""

    _new_member_ = __new__

    _use_args_: bool = False

    _member_names_: list = ...

    _member_map_: dict = ...

    _value2member_map_: dict = ...

    _unhashable_values_: list = []

    _value_repr_: None = None

    BUY = 0
    """Order sides of the broker's answers."""

    SALE = 1
    """Order sides of the broker's answers."""

    PURCHASE = 4
    """Order sides of the broker's answers."""

    REDEEM = 5
    """Order sides of the broker's answers."""

    FINANCE_BUY = 6
    """Order sides of the broker's answers."""

    STOCK_SALE = 7
    """Order sides of the broker's answers."""

    SALE_REPAY = 8
    """Order sides of the broker's answers."""

    BUY_REPAY = 9
    """Order sides of the broker's answers."""

    DIRECT_REPAY = 10
    """Order sides of the broker's answers."""

    STOCK_REPAY = 11
    """Order sides of the broker's answers."""

    STOCK_REPAY_TRANSFER = 14
    """Order sides of the broker's answers."""

    STOCK_LEFT_TRANSFER = 15
    """Order sides of the broker's answers."""

    IPO = 16
    """Order sides of the broker's answers."""

class MARKET:
    """
    Exchanges: qualified symbols to market numbers and bare codes to exchange suffixes.
    """

    re_convert: dict = ...

    re_revert: dict = ...

    @classmethod
    def convert(cls, symbol):
        """
        Return the market number of the first re_convert pattern that matches symbol, or None.
        """

    @classmethod
    def revert(cls, symbol):
        """
        Return the exchange suffix of the first re_revert pattern that matches symbol, or None.
        """

class PRICETYPE:
    """Price types of the broker's answers and their display texts."""

    price_revert: dict = {0 : '限价单', 3 : '市价单'}

    @classmethod
    def revert(cls, num):
        """Return the display text of a price-type number, or None."""

class TraderRPC:
    """Holder of the broker client that every TradeAPI of the process shares."""

    _instance: None = None

def rate_limit(calls=1, period=3, raise_message=None):
    """
    Return a decorator that lets a method through at most `calls` times in any `period` seconds, reporting a refused call with raise_message.
    """

class TradeAPI:
    """Handle on one live brokerage account served by the trading RPC."""

    class SIDE(SideMixin, enum.Enum):
        """Order sides of the broker's answers."""

        _new_member_ = __new__

        _use_args_: bool = False

        _member_names_: list = ...

        _member_map_: dict = ...

        _value2member_map_: dict = ...

        _unhashable_values_: list = []

        _value_repr_: None = None

        BUY = 0
        """Order sides of the broker's answers."""

        SALE = 1
        """Order sides of the broker's answers."""

        PURCHASE = 4
        """Order sides of the broker's answers."""

        REDEEM = 5
        """Order sides of the broker's answers."""

        FINANCE_BUY = 6
        """Order sides of the broker's answers."""

        STOCK_SALE = 7
        """Order sides of the broker's answers."""

        SALE_REPAY = 8
        """Order sides of the broker's answers."""

        BUY_REPAY = 9
        """Order sides of the broker's answers."""

        DIRECT_REPAY = 10
        """Order sides of the broker's answers."""

        STOCK_REPAY = 11
        """Order sides of the broker's answers."""

        STOCK_REPAY_TRANSFER = 14
        """Order sides of the broker's answers."""

        STOCK_LEFT_TRANSFER = 15
        """Order sides of the broker's answers."""

        IPO = 16
        """Order sides of the broker's answers."""

    class MARKET:
        """
        Exchanges: qualified symbols to market numbers and bare codes to exchange suffixes.
        """

        re_convert: dict = ...

        re_revert: dict = ...

        @classmethod
        def convert(cls, symbol):
            """
            Return the market number of the first re_convert pattern that matches symbol, or None.
            """

        @classmethod
        def revert(cls, symbol):
            """
            Return the exchange suffix of the first re_revert pattern that matches symbol, or None.
            """

    class PRICETYPE:
        """Price types of the broker's answers and their display texts."""

        price_revert: dict = {0 : '限价单', 3 : '市价单'}

        @classmethod
        def revert(cls, num):
            """Return the display text of a price-type number, or None."""

    def __init__(self, account_id):
        """Bind the handle to an account id; no request is made."""

    def _get_account_token(self, force=False):
        """
        Return the account's fund token, looked up once per object (again when force is true).
        """

    def __del__(self):
        """Drop this object's reference to the shared broker client."""

    @property
    def portfolio(self):
        """The account's funds, as one record."""

    @property
    def positions(self):
        """The account's positions, a dict from symbol to record."""

    def get_tradelogs(self):
        """Return the account's trades as a list of records."""

    def secondary_orders(self):
        """
        Return the account's broker orders as a list of records (at most one call every 3 seconds in the process).
        """

    def _trans_inst(self, item):
        """Convert one order-instruction record into a record."""

    def get_orders(self, order_id=None, start_time=None, end_time=None):
        """
        Return the account's order instructions as a list of records: all, one by id, or those of a time range.
        """

    def _trans_order(self, item):
        """Convert one pushed order record into a record."""

    def register_push(self, orderpush=None):
        """
        注册推送回调

                Pushed orders reach orderpush while this TradeAPI object is alive. The
                registration holds the object weakly: dropping the object (del api) ends
                the deliveries and releases orderpush, which is how a push is unregistered
                (a callback that refers to the object itself keeps it alive). Registering
                an equal callback again on the same object adds no second handler.
        """

__all__: list = ['TradeAPI']
