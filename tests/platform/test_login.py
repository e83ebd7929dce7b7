"""Login, token refresh and logout against the embedded server, with the token
and notice files on disk."""

import base64
import os
import pickle
import stat
import time

import pytest

from zentaro.utils.exception import APIException


def read(path):
    with open(path) as f:
        return f.read()


def test_construction_reads_the_token_file_verbatim(server, rpc, recorder):
    token = server.issue_token("demo") + "\n"
    client = server.client()
    with open(client._token_file, "w") as f:
        f.write(token)
    client = server.client()
    assert list(vars(client)) == [
        "encoding",
        "base_url",
        "_token_file",
        "_refresh_token",
        "_notice_file",
    ]
    assert client._refresh_token == token and recorder.posts == []
    with pytest.raises(APIException):  # the line break goes back as it was read
        client._get_token()
    assert server.login_requests == [("refresh", token)]


@pytest.mark.parametrize(
    "args, kwargs, encoding, url",
    [
        ((), {}, "utf-8", "class"),
        (("gbk",), {}, "gbk", "class"),
        ((), {"encoding": "latin-1", "base_url": ""}, "latin-1", "class"),
        (("utf-8", "http://h/x"), {}, "utf-8", "http://h/x"),
    ],
)
def test_constructor_arguments(rpc, args, kwargs, encoding, url):
    client = rpc.APIClient(*args, **kwargs)
    assert client.encoding == encoding
    assert client.base_url == (rpc.APIClient.base_url if url == "class" else url)
    with pytest.raises(TypeError):
        rpc.APIClient("utf-8", None, "extra")


def test_login_writes_token_and_notice(server, client):
    server.notice = "系统将于今晚维护"
    assert client.login("demo", "demo-pass") is True
    token = client._refresh_token
    assert token.startswith("10086.") and read(client._token_file) == token
    assert read(client._notice_file) == "系统将于今晚维护"
    action, passport = server.login_requests[0]
    assert action == "login"
    assert passport == base64.b64encode(pickle.dumps(("demo", "demo-pass"))).decode()


@pytest.mark.parametrize(
    "user, password, message",
    [
        ("demo", "wrong", "用户名或密码错误"),  # data is null: meta.message
        ("nobody", "x", "用户名或密码错误"),
        ("frozen", "frozen-pass", "账号已冻结"),  # data is truthy: data itself
    ],
)
def test_refused_login_changes_nothing(server, client, user, password, message):
    server.notice = "n"
    with pytest.raises(APIException) as info:
        client.login(user, password)
    assert info.value.args == (message,)
    assert client._refresh_token is None
    assert not os.path.exists(client._token_file) and not os.path.exists(client._notice_file)


def test_refresh_happens_once_per_cache_period(server, rpc, logged_in):
    logged_in.instruments()
    logged_in.trading_dates()
    assert [a for a, _ in server.login_requests] == ["login", "refresh"]
    first = logged_in._refresh_token
    # The refresh does not rewrite the token file.
    assert read(logged_in._token_file) != first
    rpc.APIClient._get_token.cache.expire(time.monotonic() + 7201)
    logged_in.instruments()
    assert [a for a, _ in server.login_requests] == ["login", "refresh", "refresh"]
    assert server.login_requests[-1] == ("refresh", first)
    assert rpc.APIClient._get_token.cache_info().currsize == 1


def test_refused_refresh_caches_nothing(server, rpc, client):
    client._refresh_token = ""  # empty is a token, only None means no login
    with pytest.raises(APIException, match="^账号认证失败, 请重新登录!$"):
        client.instruments()
    assert server.login_requests == [("refresh", "")] and server.calls == []
    assert rpc.APIClient._get_token.cache_info().currsize == 0
    client._refresh_token = server.issue_token()
    assert client.instruments()


@pytest.mark.parametrize("notice, expected", [(None, "old"), ("新公告", "新公告")])
def test_refresh_notice(server, logged_in, notice, expected):
    with open(logged_in._notice_file, "w") as f:
        f.write("old")
    server.notice = notice
    logged_in._get_token()
    assert read(logged_in._notice_file) == expected


def test_absent_notice_leaves_the_file_alone(server, client):
    server.set_answer("login", lambda body: {"meta": {"code": 200}, "data": {"token": "10086.x"}})
    assert client.login("demo", "demo-pass") is True
    assert not os.path.exists(client._notice_file)


def test_logout(client, logged_in):
    assert logged_in.logout() is None
    assert not os.path.exists(logged_in._token_file)
    assert logged_in._refresh_token is not None  # the running process keeps its token
    assert logged_in.logout() is False


def test_calls_without_login_fail_before_sending(server, rpc):
    call = rpc.kl_api.instruments  # a callable, no login needed yet
    with pytest.raises(APIException, match="^账号未登录, 请先登录!$"):
        call()
    assert server.calls == [] and server.login_requests == []


# ----- sound behaviours


@pytest.mark.parametrize(
    "umask, had_file", [(0o000, True), (0o022, True), (0o277, False), (0o777, False)]
)
def test_token_file_is_owner_only(client, umask, had_file):
    if had_file:
        with open(client._token_file, "w") as f:
            f.write("old")
        os.chmod(client._token_file, 0o666)
    old = os.umask(umask)
    try:
        client.login("demo", "demo-pass")
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(client._token_file).st_mode) == 0o600
    assert read(client._token_file) == client._refresh_token
    assert os.listdir(os.path.dirname(client._token_file)) == ["auth"]


def test_failed_token_write_keeps_the_old_file(client, rpc, monkeypatch):
    with open(client._token_file, "w") as f:
        f.write("old-token")

    class CrashingOs:
        def __getattr__(self, name):
            return getattr(os, name)

        @staticmethod
        def fsync(fd):
            raise OSError(28, "No space left on device")

    monkeypatch.setattr(rpc, "os", CrashingOs())
    with pytest.raises(OSError, match="No space"):
        client.login("demo", "demo-pass")
    assert read(client._token_file) == "old-token"
    assert os.listdir(os.path.dirname(client._token_file)) == ["auth"]


def test_login_clears_the_token_cache(server, client):
    client.login("demo", "demo-pass")
    client.api_usage()
    client.login("alice", "alice-pass")
    assert client.api_usage()["user_id"] == "20001"
    assert [a for a, _ in server.login_requests] == ["login", "refresh", "login", "refresh"]


def test_login_and_refresh_have_a_time_out(client, recorder):
    client.login("demo", "demo-pass")
    client._get_token()
    assert [kw["timeout"] for _, kw in recorder.posts] == [10, 10]
    # Besides json and timeout: no redirects, the answer read by the kit, and
    # (the server is on this machine) no proxy.
    guard = ["allow_redirects", "hooks", "proxies", "stream"]
    assert [sorted(kw) for _, kw in recorder.posts] == [sorted(["json", "timeout", *guard])] * 2


def test_silent_login_server_times_out(server, client, rpc, monkeypatch):
    monkeypatch.setattr(rpc.requests, "post", _short_post(rpc.requests.post))
    server.inject("login", "slow", delay=3, times=1)
    with pytest.raises(rpc.requests.exceptions.Timeout):
        client.login("demo", "demo-pass")
    assert client._refresh_token is None


def _short_post(post):
    # The 10 s time-out, scaled down so the test stays quick.
    return lambda url, **kw: post(url, **dict(kw, timeout=kw["timeout"] / 25))
