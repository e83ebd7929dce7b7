"""Errors of the kit's own choosing say what is wrong and what to do about it."""

import socket

import pytest

from zentaro.mod.tradeapi.sdk import client_rv
from zentaro.support import brokerage


def closed_port():
    """A loopback port nothing listens on (bound, then released)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize(
    "value, error, texts",
    [
        ("no_such_pkg.backend:make", ModuleNotFoundError, ["cannot import 'no_such_pkg.backend'"]),
        ("zentaro.support.brokerage:NoSuchFactory", AttributeError, ["has no attribute"]),
        ("zentaro.support.brokerage:URL_ENV", client_rv.BackendNotConfigured, ["not callable"]),
        ("zentaro.support.brokerage", client_rv.BackendNotConfigured, ["package.module:factory"]),
    ],
    ids=["missing-module", "missing-factory", "not-callable", "no-factory"],
)
def test_a_bad_backend_setting_names_the_variable_and_its_value(monkeypatch, value, error, texts):
    monkeypatch.setattr(client_rv, "_backend_factory", None)
    monkeypatch.setenv(client_rv.BACKEND_ENV, value)
    with pytest.raises(error) as caught:
        client_rv.backend_factory()
    for text in [f"ZENTARO_BROKER_BACKEND={value!r}", *texts]:
        assert text in str(caught.value)


@pytest.mark.parametrize(
    "reach",
    [
        lambda url: brokerage.place_order("600519.SH", "BUY", 100, 1650.0, url=url),
        lambda url: brokerage.RemoteBrokerage(url)({"ReqType": 1201, "params": {}}),
    ],
    ids=["place_order", "backend"],
)
def test_an_unreachable_brokerage_names_the_address_and_suggests_zentaro_local(reach):
    url = f"tcp://127.0.0.1:{closed_port()}"
    with pytest.raises(ConnectionRefusedError) as caught:  # the type callers may catch
        reach(url)
    assert url in str(caught.value)
    assert "zentaro-local" in str(caught.value)
    assert isinstance(caught.value.__cause__, ConnectionRefusedError)
