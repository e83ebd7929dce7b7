"""The gateway client against a directory service and a platform that fail:
the documented error, the cached directory and the session keys untouched."""

import json
import xml.etree.ElementTree as ET

import pytest
import requests

from shared.timing import scaled
from zentaro.support.broker_directory import site_answer
from zentaro.support.gateway_sim import GatewaySimulator
from zentaro.utils.exception import APIException


@pytest.fixture(autouse=True)
def fresh_directory_cache(gl, monkeypatch):
    monkeypatch.setattr(gl.GatewayClient, "_qs_info", {})
    monkeypatch.setenv("NO_PROXY", "127.0.0.1")


class ShortTimeouts:
    """The module's `requests` with its 10 s time-out cut down, so a hanging
    service is noticed within the test's time."""

    def __init__(self, seconds):
        self.seconds = seconds

    def get(self, url, **kwargs):
        kwargs["timeout"] = min(kwargs.get("timeout") or self.seconds, self.seconds)
        return requests.get(url, **kwargs)


@pytest.fixture
def directory(directory, gl, monkeypatch):
    monkeypatch.setattr(gl, "requests", ShortTimeouts(scaled(0.5)))
    return directory


@pytest.mark.parametrize(
    "body, error",
    [
        (b"<brokers><broker qsname='a'", ET.ParseError),
        (b"<brokers><broker qsname='x'></brokers>", ET.ParseError),
        (b"\xff\xfe<brokers/>", UnicodeDecodeError),
        ("<brokers><broker qsname='青岚'/></brokers>".encode("gbk"), UnicodeDecodeError),
        (b"", ET.ParseError),
    ],
    ids=["cut-short", "malformed", "not-utf8", "gbk", "empty"],
)
def test_broken_directories_raise_and_keep_the_cache_empty(gl, directory, body, error):
    directory.set_directory(body)
    with pytest.raises(error):
        gl.GatewayClient.get_qs_info()
    assert gl.GatewayClient._qs_info == {}
    directory.set_directory(None)
    assert len(gl.GatewayClient.get_qs_info()) == 3  # the next call downloads again


def test_a_hanging_directory_times_out(gl, directory):
    directory.hang("/futures/ctp_address.xml")
    with pytest.raises(requests.exceptions.ReadTimeout):
        gl.GatewayClient.get_qs_info()
    assert gl.GatewayClient._qs_info == {}


def test_a_directory_that_went_away_keeps_the_cached_one(gl, directory):
    cached = gl.GatewayClient.get_qs_info()
    directory.stop()
    assert gl.GatewayClient.get_qs_info() is cached


@pytest.mark.parametrize(
    "answer, error",
    [
        (b"<html>502</html>", json.JSONDecodeError),
        ({"code": 500, "data": []}, ValueError),
        ({"msg": "no code"}, KeyError),
        ({"code": 0, "data": [{"a": "text only"}]}, IndexError),
        (site_answer([{"ip": "127.0.0.1", "port": "eighty"}]), ValueError),
    ],
)
def test_broken_site_answers(gl, directory, answer, error):
    directory.set_sites("1001", answer)
    with pytest.raises(error):
        gl.GatewayClient.select_site_auto("青岚期货")


@pytest.fixture
def logged_in(gl, directory, platform, rpc, monkeypatch, tmp_path):
    """A client logged in through the real platform server and gateway simulator."""
    monkeypatch.setenv("ZENTARO_USER_ID", "10086")
    client_api = platform.client()
    client_api._token_file = str(tmp_path / "auth")
    client_api.login("demo", "demo-pass")
    monkeypatch.setattr(gl, "kl_api", client_api)
    sim = GatewaySimulator().start()
    for broker in directory.brokers:
        directory.set_sites(broker["qsid"], site_answer([sim.site]))
    client = gl.GatewayClient("青岚期货", "880001", "futures-pass")
    client._make_session(timeout=2)
    yield client
    sim.stop()


def keys(client):
    return client._investor_key, client._channel_key, client._service_type


@pytest.mark.parametrize(
    "mode, opts, error",
    [
        ("status", {"status": 500, "text": "授权服务不可用"}, APIException),
        ("garbage", {"body": b"\x00garbage"}, Exception),
        ("drop", {}, requests.exceptions.ConnectionError),
    ],
)
def test_platform_faults_during_login_keep_the_session_keys(
    logged_in, platform, fault, mode, opts, error
):
    before = keys(logged_in)
    assert before[0] >= 1000
    fault(platform, "trade_api", mode, **opts)
    with pytest.raises(error):
        logged_in._make_session(timeout=2)
    assert keys(logged_in) == before


def test_a_gateway_site_that_refuses_connections(logged_in, directory):
    before = keys(logged_in)
    for broker in directory.brokers:
        directory.set_sites(broker["qsid"], site_answer([{"ip": "127.0.0.1", "port": 1}]))
    with pytest.raises(OSError):
        logged_in._make_session(timeout=2)
    assert keys(logged_in) == before
