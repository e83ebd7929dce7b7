"""Broker directory, site lists and automatic selection against served documents."""

import base64
import json
import re

import pytest
import requests

from zentaro.support.broker_directory import DIRECTORY_PATH, SITE_PATH, site_answer


def test_directory_is_parsed_and_cached_per_class(gl, directory):
    info = gl.GatewayClient.get_qs_info()
    assert list(info) == ["青岚期货", "北辰期货", "海澄期货"]
    assert info["北辰期货"] == {
        "qsname": "北辰期货",
        "qsid": "1002",
        "wtid": "9002",
        "area": "华北",
    }
    assert gl.GatewayClient.get_qs_info() is info
    assert gl.GatewayClient._qs_info is info
    assert directory.count(DIRECTORY_PATH) == 1


def test_cache_lands_on_the_calling_class(gl, directory):
    class Child(gl.GatewayClient):
        _qs_info = {}

    info = Child.get_qs_info()
    assert Child.__dict__["_qs_info"] is info
    assert gl.GatewayClient._qs_info == {}


def test_duplicate_names_keep_the_later_entry_and_missing_name_keys_none(gl, directory):
    directory.brokers = [
        {"qsname": "青岚期货", "qsid": "1"},
        {"qsid": "2"},
        {"qsname": "青岚期货", "qsid": "3"},
    ]
    info = gl.GatewayClient.get_qs_info()
    assert info == {"青岚期货": {"qsname": "青岚期货", "qsid": "3"}, None: {"qsid": "2"}}


def test_empty_directory_is_fetched_again_and_matches_nothing(gl, directory):
    directory.set_directory("<brokers/>")
    assert gl.GatewayClient.get_qs_info() == {}
    with pytest.raises(ValueError, match=r"^未匹配到支持的券商: 青岚$"):
        gl.GatewayClient.select_site_auto("青岚")
    assert directory.count(DIRECTORY_PATH) == 2


def test_site_lists_are_concatenated_in_key_order_skipping_other_values(gl, directory):
    a, b, c = ({"ip": f"10.0.0.{i}", "port": 7000 + i} for i in range(3))
    directory.set_sites(
        "1001", {"code": 0, "data": [{"x": [a, b], "y": "text", "z": [c]}, {"w": [a]}]}
    )
    assert gl.GatewayClient.get_qs_site("1001") == [a, b, c]
    gl.GatewayClient.get_qs_site("1001")
    assert directory.count(SITE_PATH) == 2  # never cached


@pytest.mark.parametrize(
    "answer",
    [
        {"code": 1, "data": [{"x": [{"ip": "h", "port": 1}]}]},
        {"code": 0, "data": []},
        {"code": "0", "data": [{}]},
    ],
    ids=["code-1", "empty-data", "code-as-text"],
)
def test_unusable_site_answer_is_no_site(gl, directory, answer):
    directory.set_sites("1001", answer)
    with pytest.raises(ValueError, match=r"^该券商无可用站点!$"):
        gl.GatewayClient.get_qs_site("1001")


@pytest.mark.parametrize(
    "answer, error",
    [
        (b"<html>busy</html>", json.JSONDecodeError),
        ({"data": []}, KeyError),
        ({"code": 0}, KeyError),
    ],
    ids=["not-json", "no-code", "no-data"],
)
def test_malformed_site_answer_raises_decoder_or_key_error(gl, directory, answer, error):
    directory.set_sites("1001", answer)
    with pytest.raises(error):
        gl.GatewayClient.get_qs_site("1001")


@pytest.mark.parametrize(
    "user_text, qsid",
    [("青岚期货", "1001"), ("北辰", "1002"), ("海澄期货公司", "1003"), ("北辰期货有限", "1002")],
)
def test_loose_name_match_picks_the_most_similar_broker(gl, directory, user_text, qsid):
    for broker in directory.brokers:
        directory.set_sites(
            broker["qsid"], site_answer([{"ip": "h" + broker["qsid"], "port": "8001"}])
        )
    broker, site = gl.GatewayClient.select_site_auto(user_text)
    assert broker["qsid"] == qsid
    assert site == {"ip": "h" + qsid, "port": 8001}


def test_no_similar_name_raises(gl, directory):
    with pytest.raises(ValueError, match=r"^未匹配到支持的券商: zzzzzz$"):
        gl.GatewayClient.select_site_auto("zzzzzz")


def test_site_is_chosen_with_the_module_random(gl, directory, monkeypatch):
    sites = [{"ip": "a", "port": 1}, {"ip": "b", "port": "2"}, {"ip": "c", "port": 3}]
    directory.set_sites("1001", site_answer(sites[:2], sites[2:]))
    seen = []

    class FakeRandom:
        @staticmethod
        def choice(seq):
            seen.append(list(seq))
            return seq[1]

    monkeypatch.setattr(gl, "random", FakeRandom)
    assert gl.GatewayClient.select_site_auto("青岚期货")[1] == {"ip": "b", "port": 2}
    assert seen == [sites]


@pytest.mark.parametrize(
    "answer, error",
    [
        ({"code": 0, "data": [{"note": "none"}]}, IndexError),
        (site_answer([{"ip": "h", "port": "80a"}]), ValueError),
    ],
    ids=["no-list-values", "port-not-a-number"],
)
def test_selection_failures(gl, directory, answer, error):
    directory.set_sites("1001", answer)
    with pytest.raises(error):
        gl.GatewayClient.select_site_auto("青岚期货")


@pytest.mark.parametrize("path", [DIRECTORY_PATH, SITE_PATH])
def test_directory_gets_use_a_finite_timeout(gl, directory, monkeypatch, path):
    # The server never answers; the module must pass a time-out of 10 s. The
    # wrapper shortens it so the test does not wait that long.
    directory.set_sites("1001", site_answer([{"ip": "h", "port": 1}]))
    directory.hang(path)
    seen = []

    class ShortRequests:
        @staticmethod
        def get(url, **kwargs):
            seen.append(kwargs)
            return requests.get(url, timeout=min(kwargs["timeout"], 0.2))

    monkeypatch.setattr(gl, "requests", ShortRequests)
    with pytest.raises(requests.exceptions.Timeout):
        gl.GatewayClient.select_site_auto("青岚期货")
    assert seen and all(kw["timeout"] == 10 for kw in seen)


def test_fingerprint_form(gl, monkeypatch):
    import zentaro
    from zentaro.mod.tradeapi.ctp import datacollect

    info = gl.GatewayClient.get_system_info()
    assert list(info) == ["collect_info", "client_info"]
    assert base64.b64decode(info["collect_info"]).decode() == datacollect.get_system_info()
    mac, osv, ver = info["client_info"].split("|", 2)
    assert re.fullmatch(r"mac=([0-9a-f]{2}:){5}[0-9a-f]{2}", mac)
    assert osv.startswith("osv=") and ver == "clientver=" + zentaro.__version__

    class FakeUuid:
        @staticmethod
        def getnode():
            return 0x0A0B0C0D0E0F

    monkeypatch.setattr(gl, "uuid", FakeUuid)
    monkeypatch.setattr(gl, "__version__", "9.9")
    info = gl.GatewayClient.get_system_info()
    assert info["client_info"].startswith("mac=0a:0b:0c:0d:0e:0f|osv=")
    assert info["client_info"].endswith("|clientver=9.9")
