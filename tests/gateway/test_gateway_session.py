"""Construction, key derivation, answer shaping and RPC calls of GatewayClient."""

import hashlib
import logging

import pytest

from zentaro.mod.tradeapi.sdk import client as host_client
from zentaro.mod.tradeapi.sdk.common.encryption import EncryptionDesBase64
from zentaro.support import GATEWAY_AUTH_CODE, platform_data
from zentaro.support.broker_directory import site_answer
from zentaro.support.gateway_sim import GatewaySimulator, channel_keys


def test_class_layout(gl):
    cls = gl.GatewayClient
    assert cls.__bases__ == (host_client.GatewayClient,)
    assert gl._GatewayClient is host_client.GatewayClient
    own = [k for k in vars(cls) if not k.startswith("__") or k == "__init__"]
    assert own == [
        "_qs_info",
        "qs_info_url",
        "qs_site_url",
        "get_qs_info",
        "get_qs_site",
        "select_site_auto",
        "get_system_info",
        "__init__",
        "_make_session",
        "make_return",
        "call_rpc",
    ]
    assert cls.qs_info_url.startswith("https://") and cls.qs_info_url.endswith(
        "/futures/ctp_address.xml"
    )
    assert cls.qs_site_url.startswith("https://")
    assert cls.qs_site_url.endswith("/futgwapi/api/trade/v1/trade/gateway/config?qsidList={}")
    for name in ("get_qs_info", "get_qs_site", "select_site_auto", "get_system_info"):
        assert isinstance(vars(cls)[name], classmethod)


def test_construction_stores_encrypted_password_and_sends_nothing(gl, platform):
    client = gl.GatewayClient("青岚期货", "880001", "秘密pass")
    assert list(vars(client))[:8] == [
        "broker_id",
        "account_id",
        "password",
        "logger",
        "system_info",
        "_investor_key",
        "_channel_key",
        "_service_type",
    ]
    assert EncryptionDesBase64.decode(client.password, "$%^47Qkv") == "秘密pass"
    assert "秘密pass" not in vars(client).values()
    assert client.logger is gl.system_log
    assert client.system_info.keys() == {"collect_info", "client_info"}
    assert (client._investor_key, client._channel_key, client._service_type) == (0, "", 0)
    assert client._encrypted_password == client.password and client.session is None
    assert platform.calls == []
    client.note = "instances take new attributes"


@pytest.mark.parametrize(
    "key, channel, service",
    [(10300, "103", 8), (123400, "1234", 2**23), (1000, "10", 1), (99999, "999", 2**99)],
)
def test_key_derivation(gl, gateway, platform, key, channel, service):
    gateway.accounts["880001"]["investor_key"] = key
    client = gl.GatewayClient("青岚期货", "880001", "futures-pass")
    client.connect()
    assert (client._investor_key, client._channel_key, client._service_type) == (
        key,
        channel,
        service,
    )
    assert (channel, service) == channel_keys(key)


@pytest.mark.parametrize("key", [999, 0, -5000])
def test_investor_key_below_1000_is_refused_and_keys_stay(gl, gateway, platform, key):
    client = gl.GatewayClient("青岚期货", "880001", "futures-pass")
    client.connect()
    gateway.accounts["880001"]["investor_key"] = key
    with pytest.raises(ValueError, match=rf"^投资者编号无效\(应不小于1000\): {key}$"):
        client._make_session()
    assert (client._investor_key, client._channel_key, client._service_type) == (10300, "103", 8)


@pytest.mark.parametrize(
    "code, text, success, msg", [(0, b"", True, ""), (7, "拒绝".encode(), False, "拒绝")]
)
def test_make_return(gl, platform, code, text, success, msg):
    meta = host_client.GatewayMeta(code, text)
    client = gl.GatewayClient("b", "a", "p")
    out = client.make_return(meta, ["x"])
    assert out == {"success": success, "msg": msg, "result": ["x"]}
    assert list(out) == ["success", "msg", "result"]


def _recording_client(gl):
    client = gl.GatewayClient("b", "a", "p")
    client.sent = []
    client.call_rpc_json = lambda *a, **kw: client.sent.append((a, kw)) or "answer"
    return client


def test_call_rpc_defaults(gl, platform):
    client = _recording_client(gl)
    assert client.call_rpc("query_position") == "answer"
    assert client.sent == [
        (
            ("rpc.trader.futures", "query_position", {"investor_key": 0}),
            {"stream": False, "channel_key": "", "service_type": 0},
        )
    ]


def test_call_rpc_merges_args_and_keywords(gl, platform):
    client = _recording_client(gl)
    client._investor_key, client._channel_key, client._service_type = 10300, "103", 8
    args = {"symbol": "rb2601", "investor_key": 55}
    client.call_rpc("order", args, stream=True, service_name="rpc.other")
    client.call_rpc("order", {"symbol": "x"})
    client.call_rpc(method_name="order")
    sent_args = [a[2] for a, _ in client.sent]
    assert sent_args == [
        {"investor_key": 55, "symbol": "rb2601"},
        {"investor_key": 10300, "symbol": "x"},
        {"investor_key": 10300},
    ]
    assert list(sent_args[0]) == ["investor_key", "symbol"]
    assert args == {"symbol": "rb2601", "investor_key": 55}
    assert client.sent[0][0][0] == "rpc.other"
    assert client.sent[0][1] == {"stream": True, "channel_key": "103", "service_type": 8}


def test_login_end_to_end(gl, gateway, platform, caplog):
    client = gl.GatewayClient("青岚", "880001", "futures-pass")
    with caplog.at_level(logging.INFO, logger="zentaro.user"):
        session = client.connect(timeout=3)
    assert isinstance(session, gl.GatewaySession) and session.timeout == 3
    assert session.begin == b"\x0f" and (session.ip, session.port) == (gateway.host, gateway.port)
    assert client.qsinfo["qsname"] == "青岚期货" and client.site == gateway.site
    assert platform.calls == [{"atype": "futures"}]
    assert gateway.ops() == [
        "protocol_confirm",
        "protocol_auth",
        "client_auth",
        "client_login",
        "request",
    ]
    auth, login_msg, request = gateway.messages[2], gateway.messages[3], gateway.messages[4]
    assert auth["auth_code"] == GATEWAY_AUTH_CODE
    assert login_msg == {
        "op": "client_login",
        "user_id": "10086",
        "name": "zentaro",
        "id": 4,  # the fourth request of the session
    }
    assert request["meta"] == {"service_name": "rpc.account", "method_name": "login"}
    args = request["args"]
    assert list(args) == ["client_id", "qsid", "wtid", "login"]
    assert (args["client_id"], args["qsid"], args["wtid"]) == ("10086", "1001", "9001")
    assert list(args["login"]) == [
        "investor_id",
        "trade_password",
        "collect_info",
        "client_info",
        "is_auto_confirm",
    ]
    assert args["login"]["trade_password"] == client.password and args["login"]["is_auto_confirm"]
    assert [r.getMessage() for r in caplog.records] == ["登录券商[青岚期货]账号[880001]成功"]

    meta, data = client.call_rpc("query_account", {"currency": "CNY"})
    assert meta.error_code == 0
    assert data["investor_id"] == "880001"
    assert data["args"] == {"investor_key": 10300, "currency": "CNY"}
    client.close()


def test_wrong_password_is_refused(gl, gateway, platform):
    client = gl.GatewayClient("青岚期货", "880001", "wrong")
    with pytest.raises(ValueError, match=r"^登录失败: 资金账号或密码错误$"):
        client.connect()
    assert (client._investor_key, client._channel_key, client._service_type) == (0, "", 0)
    assert client.qsinfo["qsid"] == "1001"  # replaced before the refusal


def test_calls_with_stale_keys_are_refused_by_the_gateway(gl, gateway, platform):
    client = gl.GatewayClient("青岚期货", "880002", "秘密-2")
    client.connect()
    meta, _ = client.call_rpc("query_account", {"investor_key": 10300})
    assert meta.error_code != 0
    ok = client.make_return(*client.call_rpc("query_account"))
    assert ok["success"] and ok["result"]["investor_id"] == "880002"


def test_wrong_authorisation_key_fails_client_auth(gl, gateway, platform, monkeypatch):
    # An authorisation made for another kit version decrypts to garbage or fails.
    monkeypatch.setattr(platform, "version", "0.0.0")
    client = gl.GatewayClient("青岚期货", "880001", "futures-pass")
    with pytest.raises((host_client.GatewayError, ValueError, UnicodeDecodeError)):
        client.connect()
    assert "client_login" not in gateway.ops()


def test_authorisation_key_is_md5_slice(gl, gateway, platform, monkeypatch):
    seen = []
    real = EncryptionDesBase64.decode

    class Spy(EncryptionDesBase64):
        @staticmethod
        def decode(text, key):
            seen.append(key)
            return real(text, key)

    monkeypatch.setattr(gl, "EncryptionDesBase64", Spy)
    gl.GatewayClient("青岚期货", "880001", "futures-pass")._make_session()
    text = "10086" + platform_data.FUTURES_EXPIRY + gl.__version__
    assert seen == [hashlib.md5(text.encode()).hexdigest()[8:16]]


@pytest.mark.parametrize(
    "user_id, exp, version, text",
    [
        (10001, 1700000000, "0.4.0", "1000117000000000.4.0"),
        ("10086", 1.5e9, "0.4.0", "100861500000000.00.4.0"),
        ("10086", None, (0, 4), "10086None(0, 4)"),
    ],
)
def test_authorisation_key_joins_the_parts_as_text(
    gl, gateway, platform, monkeypatch, user_id, exp, version, text
):
    hashed = []

    class Hashlib:
        @staticmethod
        def md5(data):
            hashed.append(data)
            return hashlib.md5(data)

    grant = platform_data.futures_authorisation(str(user_id), str(version), exp=str(exp))
    grant = {**grant, "exp": exp}  # exp as the platform sent it, a number or null
    monkeypatch.setattr(platform, "trade_api", lambda **kw: grant)
    monkeypatch.setattr(gl, "get_user_id", lambda: user_id)
    monkeypatch.setattr(gl, "__version__", version)
    monkeypatch.setattr(gl, "hashlib", Hashlib)
    gl.GatewayClient("青岚期货", "880001", "futures-pass")._make_session()
    assert hashed == [text.encode()]


@pytest.mark.parametrize("name", ["ip", "port", "begin"])
def test_session_keyword_given_twice(gl, gateway, platform, name):
    client = gl.GatewayClient("青岚期货", "880001", "futures-pass")
    with pytest.raises(TypeError, match=f"multiple values for keyword argument '{name}'"):
        client._make_session(**{name: 1})


@pytest.mark.parametrize(
    "grant, error",
    [
        ({"exp": "x"}, KeyError),
        ({"data": "ZZ", "exp": "x"}, ValueError),
        ({"data": "7B7D", "exp": "x"}, KeyError),
    ],
    ids=["no-data", "not-base16", "no-auth-code"],
)
def test_bad_platform_grant(gl, gateway, platform, monkeypatch, grant, error):
    monkeypatch.setattr(platform, "trade_api", lambda **kw: grant)
    with pytest.raises(error):
        gl.GatewayClient("青岚期货", "880001", "futures-pass")._make_session()


def test_each_login_selects_a_site_again(gl, directory, platform):
    with GatewaySimulator() as first, GatewaySimulator() as second:
        directory.set_sites("1001", site_answer([first.site]))
        client = gl.GatewayClient("青岚期货", "880001", "futures-pass")
        client.connect()
        directory.set_sites("1001", site_answer([second.site]))
        client.connect()
        assert client.site == second.site and "request" in second.ops()
