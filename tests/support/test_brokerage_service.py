"""The simulated brokerage over TCP: queries, placed orders and their pushes in the kit."""

import socket
import threading

import pytest

from shared.children import run_child
from zentaro.mod.tradeapi.api import broker_desk as bd
from zentaro.mod.tradeapi.sdk.client_rv import RavineClient
from zentaro.support.broker_sim import SAMPLE_ACCOUNT_ID
from zentaro.support.brokerage import (
    URL_ENV,
    BrokerageError,
    BrokerageServer,
    RemoteBrokerage,
    place_order,
)


@pytest.fixture
def service():
    with BrokerageServer() as srv:
        yield srv


@pytest.fixture
def api(service, monkeypatch):
    client = RavineClient(RemoteBrokerage(service.url))
    monkeypatch.setattr(bd.TraderRPC, "_instance", client)
    yield bd.TradeAPI(SAMPLE_ACCOUNT_ID)
    client.close()


def test_a_placed_order_is_pushed_to_the_subscribed_client(service, api):
    seen = []
    filled = threading.Event()

    def on_order(order):
        seen.append((order.symbol, order.side, order.amount, order.status))
        if order.status == "已成":
            filled.set()

    api.register_push(on_order)
    instruction = place_order("600519.SH", "BUY", 100, 1650.0, url=service.url)
    assert filled.wait(5)
    assert seen == [("600519.SH", "BUY", 100, "已报"), ("600519.SH", "BUY", 100, "已成")]
    assert api.positions["600519.SH"].amount == 100
    assert [o.order_id for o in api.get_orders(order_id=instruction)] == [instruction]


def test_the_address_comes_from_the_environment(service, monkeypatch):
    monkeypatch.setenv(URL_ENV, service.url)
    place_order("000001", "sell", 1000, 10.0)
    assert service.brokerage.holdings["000001"][0] == 4000


@pytest.mark.parametrize(
    "args, message",
    [
        (("600519.SH", "BUY", 10_000, 1650.0), "insufficient cash"),
        (("600519.SH", "SELL", 100, 1650.0), "insufficient position"),
        (("600519.SH", "HOLD", 100, 1650.0), "unknown side"),
        (("600519.SH", "BUY", 0, 1650.0), "must be positive"),
        (("ABC.SH", "BUY", 100, 1.0), "not a stock code"),
        (("600519.SH", "BUY", "many", 1.0), "invalid literal"),
    ],
)
def test_refused_orders_raise_and_change_nothing(service, args, message):
    cash = service.brokerage.cash
    with pytest.raises(BrokerageError, match=message):
        place_order(*args, url=service.url)
    assert service.brokerage.cash == cash


def test_without_an_address_the_error_says_how_to_get_one(monkeypatch):
    monkeypatch.delenv(URL_ENV, raising=False)
    with pytest.raises(BrokerageError, match="zentaro-local"):
        place_order("600519.SH", "BUY", 100, 1650.0)


def test_a_garbled_request_closes_only_its_own_connection(service, api):
    host, port = service.url.removeprefix("tcp://").split(":")
    with socket.create_connection((host, int(port)), timeout=5) as conn:
        conn.sendall(b"\xff not json\n")
        assert conn.recv(100) == b""
    with socket.create_connection((host, int(port)), timeout=5) as conn:
        conn.sendall(b"x" * (2 << 20))  # a line over the limit
        assert conn.recv(100) == b""
    assert api.portfolio.available_cash > 0


EXIT_WHILE_SUBSCRIBED = """
import threading
from zentaro.mod.kelvo.utils.deferred_import import DeferredImport
from zentaro.mod.tradeapi.api.broker_desk import TradeAPI
from zentaro.support.brokerage import place_order

path = DeferredImport("os.path")  # a kit object the handler's globals reach
api = TradeAPI("80001234")
done = threading.Event()
api.register_push(lambda order: order.status == "已成" and done.set())
place_order("600519.SH", "BUY", 100, 1650.0)
assert done.wait(5)
"""


def test_a_process_may_exit_while_its_subscription_is_open(service):
    # The listener thread still waits on the open connection at exit; it must
    # not keep the client, its handlers or the user's objects alive.
    done = run_child(EXIT_WHILE_SUBSCRIBED, **service.client_env())
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
