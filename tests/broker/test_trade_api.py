"""The TradeAPI object: module layout, the shared client, the account-token
lookup, the guarded query with its logging and wrapping, and __del__."""

import pytest

from shared.broker import ACCOUNT, LOOKUP, TOKEN, funds, lookup_answer
from zentaro.mod.tradeapi.api import broker_desk as bd
from zentaro.utils.exception import TradeException

FUNDS = funds(AvailableValue=1.0, MarketValue=2.0, TotalAssets=3.0, FrozenValue=0.5)


def test_module_layout():
    names = list(vars(bd))
    order = [
        "re",
        "traceback",
        "pd",
        "Enum",
        "system_log",
        "TradeException",
        "NameDict",
        "RavineClient",
        "limits",
        "wraps",
        "sleep_and_retry",
        "SideMixin",
        "SIDE",
        "MARKET",
        "PRICETYPE",
        "TraderRPC",
        "rate_limit",
        "TradeAPI",
        "__all__",
    ]
    assert [n for n in names if n in order] == order
    assert bd.__all__ == ["TradeAPI"]
    methods = [
        "__init__",
        "_get_account_token",
        "__del__",
        "portfolio",
        "positions",
        "get_tradelogs",
        "secondary_orders",
        "_trans_inst",
        "get_orders",
        "_trans_order",
        "register_push",
    ]
    body = [n for n in vars(bd.TradeAPI) if not n.startswith("__") or n in methods]
    assert body == ["SIDE", "MARKET", "PRICETYPE"] + methods
    assert isinstance(vars(bd.TradeAPI)["portfolio"], property)
    assert isinstance(vars(bd.TradeAPI)["positions"], property)


def test_docstrings():
    push_doc = bd.TradeAPI.register_push.__doc__
    assert push_doc == "注册推送回调\n        "
    assert bd.TradeAPI.__doc__ and bd.TradeAPI.get_orders.__doc__
    assert bd.TradeAPI.secondary_orders.__name__ == "secondary_orders"
    assert bd.TradeAPI.secondary_orders.__doc__ == bd.TradeAPI.secondary_orders.__wrapped__.__doc__


def test_shared_client_is_created_once(monkeypatch):
    created = []

    class Client:
        def __init__(self):
            created.append(self)

    monkeypatch.setattr(bd, "RavineClient", Client)
    monkeypatch.setattr(bd.TraderRPC, "_instance", None)
    a, b = bd.TradeAPI(ACCOUNT), bd.TradeAPI(account_id="other")
    assert a._trader_rpc is b._trader_rpc is bd.TraderRPC() is created[0]
    assert len(created) == 1 and not isinstance(bd.TraderRPC(), bd.TraderRPC)


def test_instance_attributes(api, client):
    assert vars(api) == {
        "account_id": ACCOUNT,
        "_trader_rpc": client,
        "timeout": 6,
        "_trade_type": "0",
        "_account_token": None,
    }
    api.note = "free"  # instances take new attributes
    assert client.sent == []
    with pytest.raises(TypeError):
        bd.TradeAPI()


def test_token_is_fetched_once(api, client):
    client.answers[1201] = {"result": {"Array": [FUNDS]}, "id": 2}
    api.portfolio
    assert client.types() == [LOOKUP, 1201]
    assert client.snapshots[0] == {"ReqType": LOOKUP, "params": {"action": "getOnlineAccount"}}
    api.portfolio
    assert client.types() == [LOOKUP, 1201, 1201]
    assert api._account_token == TOKEN


@pytest.mark.parametrize(
    "accounts, token",
    [
        (
            [
                {"AccountID": ACCOUNT, "TradeType": "0", "fund_token": "first"},
                {"AccountID": ACCOUNT, "TradeType": "0", "fund_token": "second"},
            ],
            "first",
        ),
        (
            [
                {"AccountID": ACCOUNT, "TradeType": 0, "fund_token": "numeric"},
                {"AccountID": ACCOUNT, "TradeType": "0", "fund_token": "text"},
            ],
            "text",
        ),
        ([{"AccountID": "x"}, {"AccountID": ACCOUNT, "TradeType": "0", "fund_token": "t"}], "t"),
    ],
)
def test_lookup_takes_the_first_match(api, client, accounts, token):
    client.answers[LOOKUP] = lookup_answer(*accounts)
    assert api._get_account_token() == token


@pytest.mark.parametrize(
    "answer, text",
    [
        (
            lookup_answer({"AccountID": ACCOUNT, "TradeType": 0, "fund_token": "x"}, id=9),
            "获取账户(9)：失败(该账户不存在!).",
        ),
        ({"error": {"message": "没有登录"}, "id": 4}, "获取账户(4)：失败(没有登录)."),
        ({"error": {"message": ""}}, "获取账户(None)：失败(该账户不存在!)."),
        ({"result": {}}, "获取账户(None)：失败(该账户不存在!)."),
    ],
)
def test_lookup_failure_message(api, client, log, answer, text):
    client.answers[LOOKUP] = answer
    with pytest.raises(TradeException) as info:
        api.portfolio
    assert str(info.value) == text
    assert api._account_token is None and log.lines == []
    assert client.types() == [LOOKUP]


@pytest.mark.parametrize(
    "answer, error",
    [
        (ConnectionError("down"), ConnectionError),
        (lookup_answer({"AccountID": ACCOUNT, "TradeType": "0"}), KeyError),
        ({"result": None}, AttributeError),
    ],
)
def test_lookup_errors_are_not_wrapped(api, client, log, answer, error):
    client.answers[LOOKUP] = answer
    with pytest.raises(error):
        api.positions
    assert log.lines == []


def test_force_fetches_again(api, client):
    api._get_account_token()
    client.answers[LOOKUP] = lookup_answer(
        {"AccountID": ACCOUNT, "TradeType": "0", "fund_token": "new"}
    )
    assert api._get_account_token() == TOKEN
    assert api._get_account_token(force=True) == "new"
    with pytest.raises(TypeError):
        api._get_account_token(True, 1)


def test_success_is_logged_with_the_token_masked(api, client, log):
    client.answers[1201] = {"result": {"Array": [FUNDS]}}
    api.portfolio
    assert log.lines == [
        (
            "info",
            "portfolio_success",
            {
                "status": "success",
                "ReqType": 1201,
                "method": "stockqmx",
                "params": {"FunID": 500016, "fund_token": "***"},
            },
        )
    ]
    # the broker saw the real token, in the request object it was handed
    assert client.sent[-1]["params"] == {"FunID": 500016, "fund_token": TOKEN}
    assert list(client.sent[-1]) == ["ReqType", "method", "params"]


def failing_answer(**kw):
    return {"result": {}, **kw}


@pytest.mark.parametrize(
    "prop, fail_tag, prefix",
    [
        ("portfolio", "portfolio_fail", "账号资金查询失败"),
        ("positions", "positions_fail", "账号持仓查询失败"),
    ],
)
@pytest.mark.parametrize(
    "answer, inner",
    [
        (failing_answer(id=7, error={"message": "服务繁忙"}), "(7): 服务繁忙"),
        (failing_answer(id=7, error={"message": ""}), "(7): 参数输入有误"),
        ({}, "(None): 参数输入有误"),
    ],
)
def test_empty_result_fails_with_wrapped_message(
    api, client, log, prop, fail_tag, prefix, answer, inner
):
    client.answers[{"portfolio": 1201, "positions": 1202}[prop]] = answer
    with pytest.raises(TradeException) as info:
        getattr(api, prop)
    text = str(info.value)
    assert text.startswith(prefix + ": ")
    last = [line for line in text.splitlines() if line][-1]
    assert last == "zentaro.utils.exception.TradeException: " + prefix + inner
    assert log.lines == [
        (
            "error",
            fail_tag,
            {
                "status": "fail",
                "ReqType": client.snapshots[-1]["ReqType"],
                "method": "stockqmx",
                "params": {"FunID": client.snapshots[-1]["params"]["FunID"], "fund_token": "***"},
            },
        )
    ]
    assert isinstance(info.value.__context__, TradeException)


def test_client_error_inside_the_guard_carries_its_traceback(api, client, log):
    def broken(request):
        raise ValueError("socket closed")

    client.answers[1202] = broken
    with pytest.raises(TradeException) as info:
        api.positions
    text = str(info.value)
    assert text.startswith("账号持仓查询失败: Traceback (most recent call last):\n")
    assert "in broken" in text and text.endswith("ValueError: socket closed\n")
    assert [line[:2] for line in log.lines] == [("error", "positions_fail")]


def test_conversion_error_logs_success_then_failure(api, client, log):
    client.answers[1201] = {"result": {"Array": []}}
    with pytest.raises(TradeException) as info:
        api.portfolio
    assert str(info.value).endswith("IndexError: list index out of range\n")
    assert [line[:2] for line in log.lines] == [
        ("info", "portfolio_success"),
        ("error", "portfolio_fail"),
    ]


def test_base_exceptions_are_not_caught(api, client, log):
    client.answers[1201] = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        api.portfolio
    assert log.lines == []


def test_del_twice_and_queries_after_it(api, client):
    client.answers[1201] = {"result": {"Array": [FUNDS]}}
    api.portfolio
    api.__del__()
    api.__del__()
    assert "_trader_rpc" not in vars(api) and bd.TraderRPC() is client
    with pytest.raises(AttributeError):
        api.portfolio


def test_logger_is_looked_up_at_call_time(api, client, monkeypatch):
    client.answers[1201] = {"result": {"Array": [FUNDS]}}
    seen = []

    class Log:
        def info(self, tag, extra):
            seen.append(tag)

    monkeypatch.setattr(bd, "system_log", Log())
    api.portfolio
    assert seen == ["portfolio_success"]
