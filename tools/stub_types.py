"""Hand-written types of the kit's public (and documented private) members.

tools/stubs.py reads every function's parameters (names, order, kinds, defaults)
from the build and takes only their types from here; it fails when an entry types
a parameter the build lacks or leaves one untyped, so this table cannot drift from
the modules.

TYPES maps a qualified name to one of:
- types(result, name=annotation, ...): a function, method or property getter;
  self and cls go untyped. A decorator's wrapper may take keywords of its own,
  which the build cannot show: those are written "annotation = default" and
  become keyword-only. as_property(...) renders a member the build keeps in a
  descriptor of its own (a lazily computed attribute) as a property;
  with_comment(..., "type: ignore[...]") carries a comment into the stub.
- a text: the type of a module or class attribute.
- None: the member is left out of the stub (and may be absent from the build).

ATTRIBUTES lists the instance attributes a class sets in __init__ (the build
cannot show them on the class).

Names in annotations: builtins, the typing and collections.abc names that
tools/stubs.py knows (TYPING_NAMES, ABC_NAMES; it imports them), names of the
stub's own module, and dotted names of importable modules (it imports those).
"""


def types(result, /, **parameters):
    """A function's entry: its result's annotation and its parameters' by name."""
    return {"return": result, **parameters}


def as_property(entry):
    return {**entry, "@property": True}


def with_comment(entry, comment):
    return {**entry, "#": comment}


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
HANDLER = types("None", event="Any")
CONDITION = types("str", obj="object")


def _members(prefix, entries):
    return {f"{prefix}.{name}": value for name, value in entries.items()}


TYPES = {
    **_members(
        f"{PLATFORM}.APIClient",
        {
            "base_url": "str",
            "request_methods": "dict[str, dict[str, Any]]",
            "__init__": types("None", encoding="str", base_url="str | None"),
            "_get_token": types("str"),
            "login": types("bool", username="str", password="str"),
            "logout": types("bool | None"),
            "_compose_url": types("str", path="str"),
            "_handle_response": types("Any", response="Any"),
            "_request": types(
                "Any",
                _method="str",
                _path="str",
                _headers="Mapping[str, str]",
                _timeout="float | None",
                _timeout_retry="int",
                kwargs="Any",
            ),
            # kl_api.<service>(**kwargs): every service of the endpoint table.
            "__getattr__": types("Callable[..., Any]", func="str"),
        },
    ),
    f"{PLATFORM}.kl_api": "APIClient",
    # A cached helper the module imports, no part of its interface.
    f"{PLATFORM}.urlsplit": None,
    # ---- broker_desk ----
    f"{BROKER}.SideMixin.revert": types("str | int", num="int"),
    f"{BROKER}.MARKET.re_convert": "dict[str, int]",
    f"{BROKER}.MARKET.re_revert": "dict[str, str]",
    f"{BROKER}.MARKET.convert": types("int | None", symbol="str"),
    f"{BROKER}.MARKET.revert": types("str | None", symbol="str"),
    f"{BROKER}.PRICETYPE.price_revert": "dict[int, str]",
    f"{BROKER}.PRICETYPE.revert": types("str | None", num="int"),
    f"{BROKER}.TraderRPC._instance": "Any",
    # Returns the shared broker client, not a TraderRPC.
    f"{BROKER}.TraderRPC.__new__": types("Any"),
    f"{BROKER}.rate_limit": types(
        DECORATOR, calls="int", period="float", raise_message="str | None"
    ),
    **_members(
        f"{BROKER}.TradeAPI",
        {
            "__init__": types("None", account_id="str | int"),
            "_get_account_token": types("str", force="bool"),
            "__del__": types("None"),
            "portfolio": types(NAME_DICT),
            "positions": types(f"dict[str, {NAME_DICT}]"),
            "get_tradelogs": types(f"list[{NAME_DICT}]"),
            # The rate limiter's wrapper takes these two keywords of its own.
            "secondary_orders": types(
                f"list[{NAME_DICT}]", raise_on_limit="bool = True", sleep_on_limit="bool = False"
            ),
            "_trans_inst": types(NAME_DICT, item="Mapping[str, Any]"),
            "get_orders": types(
                f"list[{NAME_DICT}]",
                order_id="str | int | None",
                start_time=TIME,
                end_time=TIME,
            ),
            "_trans_order": types(NAME_DICT, item="Mapping[str, Any]"),
            "register_push": types("None", orderpush=f"Callable[[{NAME_DICT}], object] | None"),
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
            "get_qs_info": types("dict[str, dict[str, str]]"),
            "get_qs_site": types("list[dict[str, Any]]", qsid="str"),
            "select_site_auto": types("tuple[dict[str, str], dict[str, Any]]", broker_id="str"),
            "get_system_info": types("dict[str, str]"),
            "__init__": types("None", broker_id="str", account_id="str", password="str"),
            "_make_session": types("zentaro.mod.tradeapi.sdk.client.GatewaySession", kwargs="Any"),
            "make_return": types("dict[str, Any]", meta="Any", result="Any"),
            "call_rpc": types(
                "Any",
                method_name="str",
                args="Mapping[str, Any]",
                stream="bool | None",
                service_name="str | None",
            ),
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
            "__init__": types("None"),
            "set_key": types("None", key="str | bytes"),
            "set_limited": types("None", values="str", is_limit="bool"),
            "set_tofile": types("Any", filename="str"),
            "info": types("None", message="Any", args="Any", kwargs="Any"),
            "error": types("None", message="Any", args="Any", kwargs="Any"),
        },
    ),
    f"{RECORDER}.logtime_support": types(DECORATOR, dt_field="str"),
    f"{RECORDER}.BacktestLog.info": types("None", message="Any", args="Any", kwargs="Any"),
    f"{RECORDER}.BacktestLog.error": types("None", message="Any", args="Any", kwargs="Any"),
    # The display log's message is its positional arguments joined by spaces.
    f"{RECORDER}.ShowLog.info": types("None", args="object", kwargs="Any"),
    f"{RECORDER}.ShowLog.warn": types("None", args="object", kwargs="Any"),
    f"{RECORDER}.ShowLog.error": types("None", args="object", kwargs="Any"),
    f"{RECORDER}.LogEncoder.default": types("Any", obj="Any"),
    f"{RECORDER}.in_log": "BacktestLog",
    f"{RECORDER}.log": "ShowLog",
    f"{RECORDER}.__all__": "list[str]",
    # ---- stream_sink ----
    **_members(
        f"{SINK}.StreamSink",
        {
            "__init__": types(
                "None", env="Any", daily_last_event="Any", collect_trade="bool", style="str"
            ),
            "register_event": types("None"),
            "system_init": HANDLER,
            "process_init": HANDLER,
            "trade_init": HANDLER,
            "trade_add": HANDLER,
            "output_record": HANDLER,
            "backtest_trade_data": HANDLER,
            "output_profile": HANDLER,
            "get_backtest_data": types("dict[str, Any]"),
        },
    ),
    # ---- mod ----
    f"{MOD}.KelvoMod.__init__": types("None"),
    f"{MOD}.KelvoMod.start_up": types("None", env="Any", mod_config="Any"),
    f"{MOD}.KelvoMod.tear_down": types("None", success="Any", exception="Any"),
    f"{MOD}.KelvoMod.__abstractmethods__": None,
    f"{MOD}.KelvoMod._abc_impl": None,
    # ---- paper_book ----
    **_members(
        f"{PAPER}.PaperBook",
        {
            "__init__": types(
                "None",
                stock_market="str",
                frequency="str",
                paper_id="str",
                capital_base="float",
                path="str",
            ),
            "portfolio": as_property(types("Any")),
            "total_asset_value": types("float"),
            "ending_cash": types("float"),
            "market_value": types("float"),
            "profit_and_loss": types("float"),
            "positions": types("list[dict[str, Any]]"),
            "__del__": types("None"),
        },
    ),
    # ---- query_text: a field's comparisons build condition texts ----
    **_members(
        f"{QUERY}.StrModelAttr",
        {
            "__init__": types("None", name="str", key="str"),
            "__str__": types("str"),
            "__lt__": CONDITION,
            "__le__": CONDITION,
            "__eq__": with_comment(CONDITION, "type: ignore[override]"),
            "__ne__": with_comment(CONDITION, "type: ignore[override]"),
            "__gt__": CONDITION,
            "__ge__": CONDITION,
            "in_": CONDITION,
            "is_": CONDITION,
            "any_": CONDITION,
            "all_": CONDITION,
            "_encode": types("Any", o="object", top="int"),
            "__hash__": "ClassVar[None]  # type: ignore[assignment]",
        },
    ),
    f"{QUERY}.StrModel.__init__": types("None", name="str"),
    f"{QUERY}.StrModel.__str__": types("str"),
    f"{QUERY}.StrModel.__getattr__": types("StrModelAttr", key="str"),
    # Declared, it would hide __getattr__'s field type from the checker.
    f"{QUERY}.StrModel.__getattribute__": None,
    **_members(
        f"{QUERY}.StrQuery",
        {
            "__init__": types("None", args="object"),
            "filter": types("Self", args="str"),
            "limit": types("Self", limit="int"),
            "offset": types("Self", limit="int"),
            "__str__": types("str"),
        },
    ),
    f"{QUERY}.__all__": "list[str]",
    # ---- side_store ----
    **_members(
        f"{SIDE_STORE}.SideStore",
        {
            "__init__": types("None"),
            "__enter__": types("Self"),
            "__exit__": types(
                "None",
                exc_type="type[BaseException] | None",
                exc_val="BaseException | None",
                exc_tb="types.TracebackType | None",
            ),
            "read": types("pandas.DataFrame", sql="str"),
        },
    ),
    # ---- deferred_import ----
    **_members(
        f"{DEFERRED}.DeferredImport",
        {
            "__init__": types("None", module_path="str"),
            "module": types("Any"),
            "IMPORTED_MODULE": "dict[str, Any]",
            "__getattr__": types("Any", func_name="str"),
            "__call__": types("Any", args="Any", kwargs="Any"),
            "__getstate__": types("dict[str, Any]"),
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
