"""Hand-written types of the kit's public (and documented private) members.

tools/stubs.py reads the parameter names, kinds and defaults of every function
from the build and takes only the annotations from here; it fails when an entry
below disagrees with the build, so this table cannot drift from the modules.

TYPES maps a qualified name to one of:
- "(params) -> ret": a function, method or property getter, written as in a def
  (self/cls included). A leading "@property " renders a member the build keeps
  in a descriptor of its own (a lazily computed attribute) as a property. A
  trailing "# type: ignore[...]" comment is carried into the stub.
- any other text: the type of a module or class attribute.
- None: the member is left out of the stub (and may be absent from the build).

ATTRIBUTES lists the instance attributes a class sets in __init__ (the build
cannot show them on the class).

Names in annotations: builtins, the typing and collections.abc names that
tools/stubs.py knows (TYPING_NAMES, ABC_NAMES; it imports them), names of the
stub's own module, and dotted names of importable modules (it imports those).
"""

PLATFORM = "zentaro.mod.kelvo.utils.platform_rpc"
BROKER = "zentaro.mod.tradeapi.api.broker_desk"
GATEWAY = "zentaro.mod.tradeapi.sdk.gateway_link"
RECORDER = "zentaro.mod.kelvo.utils.recorder"
SINK = "zentaro.mod.kelvo.stream_sink"
MOD = "zentaro.mod.kelvo.mod"
PAPER = "zentaro.mod.kelvo.modules.zrcelery_utils.paper_book"
QUERY = "zentaro.mod.kelvo.research.normal_query.query_text"
SIDE_STORE = "zentaro.mod.kelvo.data.side_store"
DEFERRED = "zentaro.mod.kelvo.utils.deferred_import"

NAME_DICT = "zentaro.mod.tradeapi.sdk.utils.NameDict"
# Anything pandas' Timestamp constructor takes.
TIME = "str | datetime.date | None"
# A decorator for methods, as rate_limit and logtime_support return.
DECORATOR = "Callable[[Callable[..., Any]], Callable[..., Any]]"
HANDLER = "(self, event: Any) -> None"
CONDITION = "(self, obj: object) -> str"


def _members(prefix, entries):
    return {f"{prefix}.{name}": value for name, value in entries.items()}


TYPES = {
    **_members(
        f"{PLATFORM}.APIClient",
        {
            "base_url": "str",
            "request_methods": "dict[str, dict[str, Any]]",
            "__init__": "(self, encoding: str = 'utf-8', base_url: str | None = None) -> None",
            "_get_token": "(self) -> str",
            "login": "(self, username: str, password: str) -> bool",
            "logout": "(self) -> bool | None",
            "_compose_url": "(self, path: str) -> str",
            "_handle_response": "(self, response: Any) -> Any",
            "_request": "(self, _method: str = 'POST', _path: str = '', "
            "_headers: Mapping[str, str] = {}, _timeout: float | None = 10, "
            "_timeout_retry: int = 1, **kwargs: Any) -> Any",
            # kl_api.<service>(**kwargs): every service of the endpoint table.
            "__getattr__": "(self, func: str) -> Callable[..., Any]",
        },
    ),
    f"{PLATFORM}.kl_api": "APIClient",
    # A cached helper the module imports, no part of its interface.
    f"{PLATFORM}.urlsplit": None,
    # ---- broker_desk ----
    f"{BROKER}.SideMixin.revert": "(cls, num: int) -> str | int",
    f"{BROKER}.MARKET.re_convert": "dict[str, int]",
    f"{BROKER}.MARKET.re_revert": "dict[str, str]",
    f"{BROKER}.MARKET.convert": "(cls, symbol: str) -> int | None",
    f"{BROKER}.MARKET.revert": "(cls, symbol: str) -> str | None",
    f"{BROKER}.PRICETYPE.price_revert": "dict[int, str]",
    f"{BROKER}.PRICETYPE.revert": "(cls, num: int) -> str | None",
    f"{BROKER}.TraderRPC._instance": "Any",
    # Returns the shared broker client, not a TraderRPC.
    f"{BROKER}.TraderRPC.__new__": "(cls) -> Any",
    f"{BROKER}.rate_limit": "(calls: int = 1, period: float = 3, "
    f"raise_message: str | None = None) -> {DECORATOR}",
    **_members(
        f"{BROKER}.TradeAPI",
        {
            "__init__": "(self, account_id: str | int) -> None",
            "_get_account_token": "(self, force: bool = False) -> str",
            "__del__": "(self) -> None",
            "portfolio": f"(self) -> {NAME_DICT}",
            "positions": f"(self) -> dict[str, {NAME_DICT}]",
            "get_tradelogs": f"(self) -> list[{NAME_DICT}]",
            # The rate limiter's wrapper takes these two keywords.
            "secondary_orders": "(self, *, raise_on_limit: bool = True, "
            f"sleep_on_limit: bool = False) -> list[{NAME_DICT}]",
            "_trans_inst": f"(self, item: Mapping[str, Any]) -> {NAME_DICT}",
            "get_orders": f"(self, order_id: str | int | None = None, start_time: {TIME} = None, "
            f"end_time: {TIME} = None) -> list[{NAME_DICT}]",
            "_trans_order": f"(self, item: Mapping[str, Any]) -> {NAME_DICT}",
            "register_push": f"(self, orderpush: Callable[[{NAME_DICT}], object] | None = None) "
            "-> None",
        },
    ),
    f"{BROKER}.__all__": "list[str]",
    # ---- gateway_link ----
    f"{GATEWAY}.urlsplit": None,
    **_members(
        f"{GATEWAY}.GatewayClient",
        {
            "_qs_info": "dict[str, dict[str, str]]",
            "qs_info_url": "str",
            "qs_site_url": "str",
            "get_qs_info": "(cls) -> dict[str, dict[str, str]]",
            "get_qs_site": "(cls, qsid: str) -> list[dict[str, Any]]",
            "select_site_auto": "(cls, broker_id: str) -> tuple[dict[str, str], dict[str, Any]]",
            "get_system_info": "(cls) -> dict[str, str]",
            "__init__": "(self, broker_id: str, account_id: str, password: str) -> None",
            "_make_session": "(self, **kwargs: Any) -> zentaro.mod.tradeapi.sdk.client.GatewaySession",
            "make_return": "(self, meta: Any, result: Any) -> dict[str, Any]",
            "call_rpc": "(self, method_name: str, args: Mapping[str, Any] = {}, "
            "stream: bool | None = False, service_name: str | None = 'rpc.trader.futures') -> Any",
        },
    ),
    # ---- recorder ----
    **_members(
        f"{RECORDER}.Log",
        {
            "topic": "str",
            "has_error": "bool",
            "LIMIT_MSG": "dict[str, int]",
            "LOG_LIMIT_NUM": "int",
            "__init__": "(self) -> None",
            "set_key": "(self, key: str | bytes) -> None",
            "set_limited": "(self, values: str, is_limit: bool = True) -> None",
            "set_tofile": "(self, filename: str) -> Any",
            "info": "(self, message: Any, *args: Any, **kwargs: Any) -> None",
            "error": "(self, message: Any, *args: Any, **kwargs: Any) -> None",
        },
    ),
    f"{RECORDER}.logtime_support": f"(dt_field: str) -> {DECORATOR}",
    f"{RECORDER}.BacktestLog.info": "(self, message: Any, *args: Any, **kwargs: Any) -> None",
    f"{RECORDER}.BacktestLog.error": "(self, message: Any, *args: Any, **kwargs: Any) -> None",
    # The display log's message is its positional arguments joined by spaces.
    f"{RECORDER}.ShowLog.info": "(self, *args: object, **kwargs: Any) -> None",
    f"{RECORDER}.ShowLog.warn": "(self, *args: object, **kwargs: Any) -> None",
    f"{RECORDER}.ShowLog.error": "(self, *args: object, **kwargs: Any) -> None",
    f"{RECORDER}.LogEncoder.default": "(self, obj: Any) -> Any",
    f"{RECORDER}.in_log": "BacktestLog",
    f"{RECORDER}.log": "ShowLog",
    f"{RECORDER}.__all__": "list[str]",
    # ---- stream_sink ----
    **_members(
        f"{SINK}.StreamSink",
        {
            "__init__": "(self, env: Any, daily_last_event: Any, collect_trade: bool = True, "
            "style: str = 'NORMAL') -> None",
            "register_event": "(self) -> None",
            "system_init": HANDLER,
            "process_init": HANDLER,
            "trade_init": HANDLER,
            "trade_add": HANDLER,
            "output_record": HANDLER,
            "backtest_trade_data": HANDLER,
            "output_profile": HANDLER,
            "get_backtest_data": "(self) -> dict[str, Any]",
        },
    ),
    # ---- mod ----
    f"{MOD}.KelvoMod.__init__": "(self) -> None",
    f"{MOD}.KelvoMod.start_up": "(self, env: Any, mod_config: Any) -> None",
    f"{MOD}.KelvoMod.tear_down": "(self, success: Any, exception: Any = None) -> None",
    f"{MOD}.KelvoMod.__abstractmethods__": None,
    f"{MOD}.KelvoMod._abc_impl": None,
    # ---- paper_book ----
    **_members(
        f"{PAPER}.PaperBook",
        {
            "__init__": "(self, stock_market: str, frequency: str, paper_id: str, "
            "capital_base: float, path: str) -> None",
            "portfolio": "@property (self) -> Any",
            "total_asset_value": "(self) -> float",
            "ending_cash": "(self) -> float",
            "market_value": "(self) -> float",
            "profit_and_loss": "(self) -> float",
            "positions": "(self) -> list[dict[str, Any]]",
            "__del__": "(self) -> None",
        },
    ),
    # ---- query_text: a field's comparisons build condition texts ----
    **_members(
        f"{QUERY}.StrModelAttr",
        {
            "__init__": "(self, name: str, key: str) -> None",
            "__str__": "(self) -> str",
            "__lt__": CONDITION,
            "__le__": CONDITION,
            "__eq__": CONDITION + "  # type: ignore[override]",
            "__ne__": CONDITION + "  # type: ignore[override]",
            "__gt__": CONDITION,
            "__ge__": CONDITION,
            "in_": CONDITION,
            "is_": CONDITION,
            "any_": CONDITION,
            "all_": CONDITION,
            "_encode": "(self, o: object, top: int = 1) -> Any",
            "__hash__": "ClassVar[None]  # type: ignore[assignment]",
        },
    ),
    f"{QUERY}.StrModel.__init__": "(self, name: str) -> None",
    f"{QUERY}.StrModel.__str__": "(self) -> str",
    f"{QUERY}.StrModel.__getattr__": "(self, key: str) -> StrModelAttr",
    # Declared, it would hide __getattr__'s field type from the checker.
    f"{QUERY}.StrModel.__getattribute__": None,
    **_members(
        f"{QUERY}.StrQuery",
        {
            "__init__": "(self, *args: object) -> None",
            "filter": "(self, *args: str) -> Self",
            "limit": "(self, limit: int) -> Self",
            "offset": "(self, limit: int) -> Self",
            "__str__": "(self) -> str",
        },
    ),
    f"{QUERY}.__all__": "list[str]",
    # ---- side_store ----
    **_members(
        f"{SIDE_STORE}.SideStore",
        {
            "__init__": "(self) -> None",
            "__enter__": "(self) -> Self",
            "__exit__": "(self, exc_type: type[BaseException] | None, "
            "exc_val: BaseException | None, exc_tb: types.TracebackType | None) -> None",
            "read": "(self, sql: str) -> pandas.DataFrame",
        },
    ),
    # ---- deferred_import ----
    **_members(
        f"{DEFERRED}.DeferredImport",
        {
            "__init__": "(self, module_path: str) -> None",
            "module": "(self) -> Any",
            "IMPORTED_MODULE": "dict[str, Any]",
            "__getattr__": "(self, func_name: str) -> Any",
            "__call__": "(self, *args: Any, **kwargs: Any) -> Any",
            "__getstate__": "(self) -> dict[str, Any]",
            # Declared, it would type every attribute of the proxy as its result.
            "__getattribute__": None,
        },
    ),
}

ATTRIBUTES = {
    f"{PLATFORM}.APIClient": {
        "encoding": "str",
        "_token_file": "str",
        "_refresh_token": "str | None",
        "_notice_file": "str",
    },
    f"{BROKER}.TradeAPI": {
        "account_id": "str | int",
        "timeout": "int",
        "_trade_type": "str",
        "_account_token": "str | None",
    },
    f"{GATEWAY}.GatewayClient": {
        "broker_id": "str",
        "account_id": "str",
        "password": "str",
        "system_info": "dict[str, str]",
        "qsinfo": "dict[str, str]",
        "site": "dict[str, Any]",
        "_investor_key": "int",
        "_channel_key": "str",
        "_service_type": "int",
    },
    f"{RECORDER}.Log": {
        "key": "str | bytes",
        "limited": "int",
        "log_num": "int",
        "is_limit": "bool",
    },
    f"{QUERY}.StrModelAttr": {"name": "str", "key": "str"},
    f"{QUERY}.StrModel": {"name": "str"},
    f"{QUERY}.StrQuery": {
        "fields": "tuple[object, ...]",
        "filters": "list[str]",
        "_limit": "int | None",
        "_offset": "int | None",
    },
    f"{SIDE_STORE}.SideStore": {"path": "str"},
    f"{DEFERRED}.DeferredImport": {"module_path": "str"},
}
