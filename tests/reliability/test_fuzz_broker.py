"""Broker answers and pushed events with missing or wrongly typed fields: a
query gives its documented record type or a TradeException, nothing else, and
a pushed event gives a record or fails inside the handler with an ordinary
error; the account token is kept."""

import pytest
from hypothesis import HealthCheck, given
from hypothesis import strategies as st

from shared.broker import (
    ACCOUNT,
    FUNDS,
    INSTRUCTIONS,
    ORDERS,
    POSITIONS,
    PUSH,
    TOKEN,
    TRADES,
    Quiet,
    ScriptedBroker,
    broker_order,
    funds,
    instruction,
    position,
    pushed,
    trade,
)
from shared.fuzz import fuzz_settings
from zentaro.mod.tradeapi.sdk.utils import NameDict
from zentaro.utils.exception import TradeException

FUZZ = fuzz_settings(300, HealthCheck.function_scoped_fixture)
RECORDS = {
    FUNDS: funds(AvailableValue=1.5),
    POSITIONS: position(NetMoney=5.0),
    TRADES: trade(),
    ORDERS: broker_order(),
    INSTRUCTIONS: instruction(),
    "push": pushed(),
}
QUERIES = {
    FUNDS: (lambda api: api.portfolio, NameDict, "Array"),
    POSITIONS: (lambda api: api.positions, dict, "Array"),
    TRADES: (lambda api: api.get_tradelogs(), list, "Array"),
    ORDERS: (lambda api: api.secondary_orders(), list, "Array"),
    INSTRUCTIONS: (lambda api: api.get_orders(), list, "orders"),
}

scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(),
    st.text(max_size=10),
    st.binary(max_size=4),
    st.sampled_from(["", "0", "20241301", "25:61:00", "2024-01-05 10:00"]),
)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=3), st.dictionaries(st.text(max_size=4), inner, max_size=3)
    ),
    max_leaves=8,
)


def fuzzed_record(req):
    base = RECORDS[req]
    return st.fixed_dictionaries(
        {k: st.one_of(st.just(v), values) for k, v in base.items()},
    ).flatmap(
        lambda rec: st.sets(st.sampled_from(sorted(base)), max_size=3).map(
            lambda dropped: {k: v for k, v in rec.items() if k not in dropped}
        )
    )


def answers(req):
    key = QUERIES[req][2]
    rows = st.lists(st.one_of(fuzzed_record(req), values), max_size=4)
    return st.one_of(
        st.builds(
            lambda r, i: {"result": {key: r}, "id": i}, rows, st.one_of(st.integers(), values)
        ),
        st.fixed_dictionaries(
            {}, optional={"result": values, "error": values, "id": values, "msg": values}
        ),
        values,
    )


OUTCOMES = []


@pytest.fixture
def desk(monkeypatch):
    from zentaro.mod.tradeapi.api import broker_desk as bd

    broker = ScriptedBroker(record=False)
    monkeypatch.setattr(bd.TraderRPC, "_instance", broker)
    monkeypatch.setattr(bd, "system_log", Quiet())
    limiter = bd.TradeAPI.secondary_orders._limiter
    monkeypatch.setattr(limiter, "clock", lambda: 0.0)
    monkeypatch.setattr(limiter, "last_reset", -1e9)
    api = bd.TradeAPI(ACCOUNT)
    return api, broker, limiter


@FUZZ
@given(data=st.data(), req=st.sampled_from(sorted(QUERIES)))
def test_queries_give_records_or_trade_exception(desk, data, req):
    api, broker, limiter = desk
    broker.answers[req] = data.draw(answers(req))
    limiter.num_calls, limiter.last_reset = 0, -1e9
    query, kind, _ = QUERIES[req]
    try:
        result = query(api)
    except TradeException:
        OUTCOMES.append("TradeException")
    else:
        OUTCOMES.append("records")
        assert type(result) is kind
        records = result.values() if kind is dict else result if kind is list else [result]
        assert all(type(r) is NameDict for r in records)
    assert api._account_token == TOKEN


@FUZZ
@given(
    event=st.one_of(st.builds(lambda rec: {"params": rec}, fuzzed_record("push")), values),
    first=values,
)
def test_pushed_events_give_a_record_or_fail_inside_the_handler(desk, event, first):
    api, broker, _ = desk
    broker.answers[PUSH] = {"result": {"ok": 1}}
    got = []
    api.register_push(lambda rec: got.append(rec) or "seen")
    handler = broker.callbacks.pop()
    try:
        out = handler(first, event)
    except Exception as exc:
        assert not isinstance(exc, SystemError), exc
        OUTCOMES.append("push failed")
        return
    OUTCOMES.append("push record")
    assert out == "seen" and type(got[-1]) is NameDict


def test_both_outcomes_were_reached():
    # Runs last in this file: the fuzzing above must have met both kinds of answers.
    if OUTCOMES:
        assert {"TradeException", "records", "push failed", "push record"} <= set(OUTCOMES)
