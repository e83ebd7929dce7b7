"""TradeAPI and the code tables behave like the classes of a Python module: bound
methods that compare, hash and take weak references, signatures, help, None."""

import inspect
import pydoc

import pytest

from shared.children import run_child
from shared.citizens import assert_python_method, declared_signature
from zentaro.mod.tradeapi.api import broker_desk as bd

# The account's methods, and those of the code tables by "table.method".
METHOD_NAMES = [
    "_get_account_token",
    "get_tradelogs",
    "secondary_orders",
    "get_orders",
    "register_push",
    "_trans_inst",
    "_trans_order",
    "SIDE.revert",
    "MARKET.convert",
    "MARKET.revert",
    "PRICETYPE.revert",
]


@pytest.mark.parametrize("name", METHOD_NAMES)
def test_bound_methods_are_equal_weak_and_matchable(api, name):
    table, _, method = name.rpartition(".")
    assert_python_method(getattr(bd, table) if table else api, method)


# Each shows the parameters its kit function declares (the build's signature text).
SIGNATURES = {
    "TradeAPI": lambda: bd.TradeAPI,
    "TraderRPC": lambda: bd.TraderRPC,
    "__init__": lambda: bd.TradeAPI.__init__,
    "_get_account_token": lambda: bd.TradeAPI._get_account_token,
    "get_tradelogs": lambda: bd.TradeAPI.get_tradelogs,
    "secondary_orders": lambda: bd.TradeAPI.secondary_orders,
    "get_orders": lambda: bd.TradeAPI.get_orders,
    "register_push": lambda: bd.TradeAPI.register_push,
    "rate_limit": lambda: bd.rate_limit,
    "decorator": lambda: bd.rate_limit(),
    "SIDE.revert": lambda: bd.SIDE.revert,
    "MARKET.convert": lambda: bd.MARKET.convert,
    "MARKET.revert": lambda: bd.MARKET.revert,
    "PRICETYPE.revert": lambda: bd.PRICETYPE.revert,
}


@pytest.mark.parametrize("name", SIGNATURES)
def test_signatures(name):
    target = SIGNATURES[name]()
    assert str(inspect.signature(target)) == declared_signature(target)


def test_the_rate_limited_wrapper_keeps_what_it_wraps():
    wrapper = bd.TradeAPI.secondary_orders
    assert wrapper.__wrapped__.__name__ == "secondary_orders" and wrapper.__doc__


@pytest.mark.parametrize(
    "subject",
    [
        lambda api: api,
        lambda api: bd.TradeAPI,
        lambda api: bd.SIDE,
        lambda api: bd.SIDE.BUY,
        lambda api: bd.MARKET,
        lambda api: bd.PRICETYPE,
        lambda api: bd.TraderRPC,
        lambda api: bd.rate_limit,
    ],
)
def test_help_renders_with_docstrings(api, subject):
    thing = subject(api)
    assert pydoc.render_doc(thing)
    assert inspect.getdoc(thing)


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda api: bd.SIDE.revert(None), None),
        (lambda api: bd.PRICETYPE.revert(None), None),
        (lambda api: bd.MARKET.convert("600519.SH"), 2),
        (lambda api: api._get_account_token(None), "tok-123"),
        (lambda api: api.get_orders(None, None, None), []),
        (lambda api: api.register_push(None), None),
        (lambda api: bd.TradeAPI(None).account_id, None),
    ],
)
def test_none_is_taken_where_python_takes_it(api, client, call, expected):
    client.answers[151553] = {"result": {"orders": []}}
    client.answers[1601] = {}
    assert call(api) == expected


def test_none_where_python_fails_fails_alike():
    with pytest.raises(TypeError):
        bd.MARKET.revert(None)


DROP_SCRIPT = """
import gc, sys
import zentaro.mod.tradeapi.api as package
from zentaro.mod.tradeapi.api import broker_desk
kept = broker_desk.TradeAPI
del sys.modules[broker_desk.__name__], package.broker_desk, broker_desk
gc.collect()
try:
    kept("80001234")
except RuntimeError as exc:
    print(exc)
"""


def test_a_class_kept_after_its_module_was_dropped_raises():
    run = run_child(DROP_SCRIPT)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "zentaro.mod.tradeapi.api.broker_desk has been unloaded"
