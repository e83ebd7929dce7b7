"""Service calls: URL, headers, body, time-outs, the retry loop and the
endpoint table behind attribute lookup."""

import os
import pickle

import pytest
import requests

from zentaro.utils.exception import APIException

ENDPOINTS = [
    ("api_usage", 10),
    ("instruments", 10),
    ("trading_dates", 10),
    ("side_store", 10),
    ("arsenal_request", 10),
    ("data_array", 10),
    ("all_api", 30),
    ("run_api", 30),
    ("trade_api", 30),
    ("upload_file", 30),
    ("download_file", 30),
    ("get_fundamentals", 60),
]


def test_endpoint_table(rpc):
    table = rpc.APIClient.request_methods
    assert [(name, e.get("_timeout", 10)) for name, e in table.items()] == ENDPOINTS
    for name, entry in table.items():
        assert list(entry)[:2] == ["_method", "_path"]
        assert entry["_method"] == "POST" and entry["_path"] == "api/sdk_" + name


@pytest.mark.parametrize("name, timeout", ENDPOINTS)
def test_every_endpoint_reaches_its_path(server, logged_in, recorder, name, timeout):
    if name == "side_store":  # the SQL service refuses a call without a query
        with pytest.raises(APIException, match="SQL"):
            logged_in.__getattr__(name)(probe=1)
    else:
        logged_in.__getattr__(name)(probe=1)
    method, url, kw = recorder.requests[-1]
    assert (method, url, kw["timeout"]) == ("POST", server.url + "api/sdk_" + name, timeout)
    path, kwargs, _ = server.calls[-1]
    assert path == "api/sdk_" + name and kwargs == {"probe": 1}


def test_body_is_the_pickle_of_the_keywords(server, logged_in, recorder):
    logged_in.trading_dates(start_date="2024-01-01", end_date="2024-01-05")
    body = recorder.requests[0][2]["data"]
    assert pickle.loads(body) == {"start_date": "2024-01-01", "end_date": "2024-01-05"}
    sent = list(recorder.requests[0][2])
    assert sent[:3] == ["headers", "timeout", "data"]
    assert sorted(sent[3:]) == ["allow_redirects", "hooks", "proxies", "stream"]


def test_default_headers_in_order(server, logged_in, rpc):
    logged_in.instruments()
    sent = server.calls[0][2]
    ours = [k for k in sent if k in ("serialize-type", "x-consumer-sdk-version", "Authorization")]
    assert ours == ["serialize-type", "x-consumer-sdk-version", "Authorization"]
    assert sent["serialize-type"] == "0" and sent["x-consumer-sdk-version"] == rpc.__version__
    assert sent["Authorization"] == "Bearer " + logged_in._refresh_token


def test_header_overrides_replace_defaults(server, logged_in, recorder):
    logged_in.instruments(_headers={"serialize-type": "1", "X-Extra": "y"})
    headers = recorder.requests[0][2]["headers"]
    assert list(headers) == ["serialize-type", "x-consumer-sdk-version", "Authorization", "X-Extra"]
    assert headers["serialize-type"] == "1"


def test_authorization_override_still_asks_for_a_token(server, client):
    with pytest.raises(APIException, match="未登录"):
        client.instruments(_headers={"Authorization": "Bearer mine"})
    client.login("demo", "demo-pass")
    with pytest.raises(APIException, match="认证失败"):  # the server refuses "mine"
        client.instruments(_headers={"Authorization": "Bearer mine"})
    assert server.calls[0][2]["Authorization"] == "Bearer mine"
    assert [a for a, _ in server.login_requests] == ["login", "refresh"]


@pytest.mark.parametrize("headers", [None, ["a"], 3])
def test_headers_must_be_a_mapping(server, logged_in, headers):
    with pytest.raises(TypeError):
        logged_in.instruments(_headers=headers)
    assert server.calls == []


def test_overrides_do_not_stick(logged_in, recorder):
    logged_in.instruments(_headers={"X-A": "1"})
    logged_in.instruments()
    assert "X-A" not in recorder.requests[1][2]["headers"]


@pytest.mark.parametrize("retry, attempts", [(0, 1), (-2, 1), (1, 2), (3, 4)])
def test_read_timeouts_are_retried(server, logged_in, retry, attempts):
    # Time-outs well above a loaded machine's TLS handshake, well below the delay.
    server.inject("instruments", "slow", delay=3)
    with pytest.raises(requests.exceptions.ReadTimeout):
        logged_in.instruments(_timeout=0.6, _timeout_retry=retry)
    assert server.count("instruments") == attempts


def test_a_slow_first_answer_is_retried_once(server, logged_in):
    server.inject("instruments", "slow", delay=3, times=1)
    assert len(logged_in.instruments(_timeout=0.8)) == 300
    assert server.count("instruments") == 2
    assert [a for a, _ in server.login_requests] == ["login", "refresh"]


@pytest.mark.parametrize(
    "mode, error",
    [
        ("drop", requests.exceptions.ConnectionError),
        ("truncate", requests.exceptions.ChunkedEncodingError),
        ("status", APIException),
    ],
)
def test_other_failures_are_not_retried(server, logged_in, mode, error):
    server.inject("instruments", mode)
    with pytest.raises(error):
        logged_in.instruments()
    assert server.count("instruments") == 1


def test_connection_refused_reaches_the_caller(rpc, server):
    client = rpc.APIClient(base_url="https://127.0.0.1:1/sdk/")
    client._refresh_token = "t"
    with pytest.raises(requests.exceptions.ConnectionError):
        client.instruments()


def test_control_arguments_by_position_and_keyword(server, logged_in, recorder):
    logged_in._request("post", "api/sdk_all_api", {}, 7, 0)
    logged_in.all_api(_timeout=5, _path="api/sdk_api_usage")
    sent = [(m, u[len(server.url) :], kw["timeout"]) for m, u, kw in recorder.requests]
    assert sent == [("POST", "api/sdk_all_api", 7), ("POST", "api/sdk_api_usage", 5)]


def test_positional_argument_to_a_service_is_a_type_error(server, logged_in):
    with pytest.raises(TypeError):
        logged_in.instruments("600000.XSHG")
    assert server.calls == []


@pytest.mark.parametrize(
    "base, path, url",
    [
        ("https://h/sdk/", "api/sdk_instruments", "https://h/sdk/api/sdk_instruments"),
        ("https://h/sdk", "api/x", "https://h/sdkapi/x"),
    ],
)
def test_compose_url_concatenates(rpc, base, path, url):
    assert rpc.APIClient(base_url=base)._compose_url(path) == url


def test_unknown_names(rpc):
    with pytest.raises(APIException) as info:
        rpc.kl_api.no_such_service
    assert info.value.args == ("该方法(no_such_service)暂不支持.",)
    with pytest.raises(APIException):
        hasattr(rpc.kl_api, "no_such_service")
    assert hasattr(rpc.kl_api, "instruments") and callable(rpc.kl_api.instruments)


def test_class_tables_are_replaceable(server, logged_in, rpc, monkeypatch):
    table = dict(
        rpc.APIClient.request_methods, quotes={"_method": "POST", "_path": "api/sdk_all_api"}
    )
    monkeypatch.setattr(rpc.APIClient, "request_methods", table)
    assert logged_in.quotes() == server._svc_all_api({}, None, {})
    logged_in.tag = "instances take new attributes"
    assert logged_in.tag.startswith("instances")


def test_module_names_are_looked_up_at_call_time(rpc, monkeypatch):
    monkeypatch.setattr(rpc, "APIException", KeyError)
    with pytest.raises(KeyError):
        rpc.kl_api.nothing
    monkeypatch.setattr(rpc, "partial", lambda f, **kw: ("partial", sorted(kw)))
    assert rpc.kl_api.all_api == ("partial", ["_method", "_path", "_timeout"])
    names = (
        "os zlib base64 pickle msgpack requests partial ttl_cache __version__ setting APIException"
    )
    assert all(hasattr(rpc, n) for n in names.split())
    assert isinstance(rpc.kl_api, rpc.APIClient)


def test_cache_decorator_is_on_the_class(rpc):
    assert rpc.APIClient._get_token.cache_info().maxsize == 1
    assert rpc.APIClient._get_token.cache.ttl == 7200
    assert list(vars(rpc.APIClient))[1:11] == [
        "base_url",
        "request_methods",
        "__init__",
        "_get_token",
        "login",
        "logout",
        "_compose_url",
        "_handle_response",
        "_request",
        "__getattr__",
    ]


def test_servers_side_by_side(server, logged_in):
    from zentaro.support.platform_server import PlatformServer

    before = os.environ.get("REQUESTS_CA_BUNDLE")
    with PlatformServer() as second, PlatformServer(tls=False) as plain:
        for srv in (second, plain):
            other = srv.client()
            other.login("bob", "bob-pass")
            assert other.api_usage()["user_id"] == "20002"
        assert logged_in.api_usage()["user_id"] == "10086"  # the first one still verifies
    assert os.environ.get("REQUESTS_CA_BUNDLE") == before
    assert logged_in.all_api()
