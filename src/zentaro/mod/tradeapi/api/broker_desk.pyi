from collections.abc import Callable
from typing import Any
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
    @classmethod
    def revert(*args, **kwargs) -> Any:
        """revert(cls: object | None, num: object | None) -> object"""

class SIDE(SideMixin, enum.Enum):
    _new_member_ = __new__

    _use_args_: bool = False

    _member_names_: list = ...

    _member_map_: dict = ...

    _value2member_map_: dict = ...

    _unhashable_values_: list = []

    _value_repr_: None = None

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
    re_convert: dict = ...

    re_revert: dict = ...

    @classmethod
    def convert(*args, **kwargs) -> Any:
        """convert(cls: object | None, symbol: object | None) -> object"""

    @classmethod
    def revert(*args, **kwargs) -> Any:
        """revert(cls: object | None, symbol: object | None) -> object"""

class PRICETYPE:
    price_revert: dict = {0 : '限价单', 3 : '市价单'}

    @classmethod
    def revert(*args, **kwargs) -> Any:
        """revert(cls: object | None, num: object | None) -> object"""

class TraderRPC:
    _instance: None = None

def rate_limit(calls: object | None = 1, period: object | None = 3, raise_message: object | None = None) -> object: ...

class TradeAPI:
    class SIDE(SideMixin, enum.Enum):
        _new_member_ = __new__

        _use_args_: bool = False

        _member_names_: list = ...

        _member_map_: dict = ...

        _value2member_map_: dict = ...

        _unhashable_values_: list = []

        _value_repr_: None = None

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
        re_convert: dict = ...

        re_revert: dict = ...

        @classmethod
        def convert(*args, **kwargs) -> Any:
            """convert(cls: object | None, symbol: object | None) -> object"""

        @classmethod
        def revert(*args, **kwargs) -> Any:
            """revert(cls: object | None, symbol: object | None) -> object"""

    class PRICETYPE:
        price_revert: dict = {0 : '限价单', 3 : '市价单'}

        @classmethod
        def revert(*args, **kwargs) -> Any:
            """revert(cls: object | None, num: object | None) -> object"""

    __init__: Callable[..., object]

    _get_account_token: Callable[..., object]

    __del__: Callable[..., object]

    @property
    def portfolio(self) -> object: ...

    @property
    def positions(self) -> object: ...

    get_tradelogs: Callable[..., object]

    secondary_orders: Callable[..., object]

    _trans_inst: Callable[..., object]

    get_orders: Callable[..., object]

    _trans_order: Callable[..., object]

    register_push: Callable[..., object]

__all__: list = ['TradeAPI']
