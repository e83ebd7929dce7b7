"""Code tables: SIDE, MARKET, PRICETYPE, and the symbol rule against re.match."""

import enum
import re

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from shared.fuzz import examples
from zentaro.mod.tradeapi.api import broker_desk as bd

SIDE_MEMBERS = [
    ("BUY", 0),
    ("SALE", 1),
    ("PURCHASE", 4),
    ("REDEEM", 5),
    ("FINANCE_BUY", 6),
    ("STOCK_SALE", 7),
    ("SALE_REPAY", 8),
    ("BUY_REPAY", 9),
    ("DIRECT_REPAY", 10),
    ("STOCK_REPAY", 11),
    ("STOCK_REPAY_TRANSFER", 14),
    ("STOCK_LEFT_TRANSFER", 15),
    ("IPO", 16),
]


def test_side_is_an_enum_with_the_mixin_first():
    assert isinstance(bd.SIDE, enum.EnumMeta) and issubclass(bd.SIDE, enum.Enum)
    assert bd.SIDE.__bases__ == (bd.SideMixin, enum.Enum)
    assert [(m.name, m.value) for m in bd.SIDE] == SIDE_MEMBERS
    assert bd.SIDE(16) is bd.SIDE.IPO and bd.SIDE["SALE"].value == 1
    assert bd.SIDE.__module__ == bd.__name__


@pytest.mark.parametrize(
    "num, expected",
    [
        (16, "IPO"),
        (0, "BUY"),
        (True, "SALE"),
        (1.0, "SALE"),
        (2, 2),
        (13, 13),
        (-1, -1),
        (10**30, 10**30),
        ("0", "0"),
        (None, None),
    ],
)
def test_side_revert(num, expected):
    got = bd.SIDE.revert(num)
    assert got == expected and type(got) is type(expected)
    assert bd.SIDE.revert(num=num) == expected


def test_side_revert_of_an_unhashable_value_returns_it():
    value = [1]
    assert bd.SIDE.revert(value) is value


def test_side_revert_passes_on_errors_other_than_value_error():
    class Odd:
        def __hash__(self):
            raise RuntimeError("no hash")

    with pytest.raises(RuntimeError):
        bd.SIDE.revert(Odd())


def test_tables_are_class_attributes_in_order():
    assert list(bd.MARKET.re_convert.items()) == [
        (r"^(.+)\.SZ$", 1),
        (r"^(.+)\.SH$", 2),
        (r"^(1.+)\.OF$", 1),
        (r"^(5.+)\.OF$", 2),
        (r"^(.+)\.BJ$", 3),
    ]
    assert list(bd.MARKET.re_revert.items()) == [
        (r"^(00|12|30|15|16|17|18)\d+$", "SZ"),
        (r"^(11|60|688|689|5)\d+$", "SH"),
        (r"^(4|8|9)\d+$", "BJ"),
    ]
    assert bd.PRICETYPE.price_revert == {0: "限价单", 3: "市价单"}
    assert bd.TradeAPI.SIDE is bd.SIDE and bd.TradeAPI.MARKET is bd.MARKET
    assert bd.TradeAPI.PRICETYPE is bd.PRICETYPE


@pytest.mark.parametrize(
    "code, suffix",
    [
        ("600000", "SH"),
        ("688981", "SH"),
        ("689009", "SH"),
        ("113050", "SH"),
        ("510300", "SH"),
        ("000001", "SZ"),
        ("300750", "SZ"),
        ("123001", "SZ"),
        ("159915", "SZ"),
        ("180101", "SZ"),
        ("430047", "BJ"),
        ("830799", "BJ"),
        ("900901", "BJ"),
        ("010107", None),
        ("100001", None),
        ("131810", None),
        ("200002", None),
        ("700001", None),
        ("60", None),
        ("688", None),
        ("600000\n", "SH"),
        ("600000\n\n", None),
        ("60000a", None),
        ("６00000", None),
        ("60٣٣", "SH"),
        ("", None),
    ],
)
def test_market_revert(code, suffix):
    assert bd.MARKET.revert(code) == suffix
    assert bd.MARKET.revert(symbol=code) == suffix


@pytest.mark.parametrize(
    "symbol, market",
    [
        ("000001.SZ", 1),
        ("600000.SH", 2),
        ("830799.BJ", 3),
        ("110011.OF", 1),
        ("510300.OF", 2),
        ("210001.OF", None),
        ("600000", None),
        (".SZ", None),
        ("1.OF", None),
        ("x.SZ\n", 1),
        ("a\nb.SZ", None),
        ("a.sz", None),
    ],
)
def test_market_convert(symbol, market):
    assert bd.MARKET.convert(symbol) == market


@pytest.mark.parametrize("method", ["revert", "convert"])
@pytest.mark.parametrize("value", [600000, b"600000", None])
def test_market_rejects_what_re_match_rejects(method, value):
    with pytest.raises(TypeError) as ours:
        getattr(bd.MARKET, method)(value)
    with pytest.raises(TypeError) as theirs:
        re.match(r"^(.+)\.SZ$", value)
    assert str(ours.value) == str(theirs.value)


def python_lookup(table, text):
    for pattern, value in table.items():
        if re.match(pattern, text):
            return value
    return None


# Texts close to the patterns: prefixes, ASCII and other decimal digits, the
# dot and suffix letters, and line breaks where the end anchor looks.
ALPHABET = "0123456789.SZHBJOF\n\r x٣０൬𝟘a"
near_codes = st.builds(
    lambda prefix, body, tail: prefix + body + tail,
    st.sampled_from(
        [
            "",
            "00",
            "12",
            "30",
            "15",
            "16",
            "17",
            "18",
            "11",
            "60",
            "688",
            "689",
            "5",
            "4",
            "8",
            "9",
            "1",
            "10",
            "2",
            "6",
        ]
    ),
    st.text(alphabet=ALPHABET, max_size=8),
    st.sampled_from(["", "\n", "\n\n", ".SZ", ".SH", ".BJ", ".OF", ".SZ\n", ".OF\n", "\r\n"]),
)
texts = st.one_of(near_codes, st.text(max_size=12))


@settings(max_examples=examples(600), deadline=None)
@given(texts)
@example("600000\n")
@example("1\n.OF")
def test_market_tables_match_like_re_match(text):
    assert bd.MARKET.revert(text) == python_lookup(bd.MARKET.re_revert, text)
    assert bd.MARKET.convert(text) == python_lookup(bd.MARKET.re_convert, text)


def test_replaced_tables_and_replaced_re_are_honoured(monkeypatch):
    monkeypatch.setattr(bd.MARKET, "re_revert", {r"^7\d+$": "XX", r"^(11|60|688|689|5)\d+$": "SH"})
    assert bd.MARKET.revert("700001") == "XX" and bd.MARKET.revert("600000") == "SH"
    monkeypatch.undo()

    calls = []

    class FakeRe:
        @staticmethod
        def match(pattern, text):
            calls.append(pattern)
            return None

    monkeypatch.setattr(bd, "re", FakeRe)
    assert bd.MARKET.revert("600000") is None
    assert calls == list(bd.MARKET.re_revert)


@pytest.mark.parametrize("num, text", [(0, "限价单"), (3, "市价单"), (1, None), ("0", None)])
def test_pricetype_revert(num, text):
    assert bd.PRICETYPE.revert(num) == text
    assert bd.PRICETYPE.revert(num=num) == text


def test_class_methods_take_exactly_one_argument():
    with pytest.raises(TypeError):
        bd.SIDE.revert()
    with pytest.raises(TypeError):
        bd.MARKET.revert("600000", "x")
