"""Tables, fields and queries: rendering, chaining, and the classes behaving
like plain Python classes (call-time lookups, replaceable methods)."""

import numbers

import pytest

from zentaro.mod.kelvo.research.normal_query import query_text as qt
from zentaro.mod.kelvo.research.normal_query.query_text import StrQuery, income, valuation

TABLES = [
    "bonus",
    "valuation",
    "balance",
    "cashflow",
    "income",
    "profit_report",
    "profit_forecast",
    "operating",
    "debtrepay",
    "profit",
    "growth",
    "cashflow_sq",
    "income_sq",
    "profit_sq",
    "growth_sq",
    "asharevalue",
    "ashareoperate",
    "asharedebt",
    "ashareprofit",
]


def test_module_tables_and_all():
    assert qt.__all__ == TABLES
    for name in TABLES:
        table = getattr(qt, name)
        assert type(table) is qt.StrModel and table.name == name and str(table) == name
    star = {}
    exec("from zentaro.mod.kelvo.research.normal_query.query_text import *", star)
    assert sorted(k for k in star if k != "__builtins__") == sorted(TABLES)
    assert qt.numbers is numbers
    assert qt.Iterable is __import__("collections.abc").abc.Iterable
    for cls in (qt.StrModel, qt.StrModelAttr, qt.StrQuery):
        assert cls.__bases__ == (object,) and cls.__module__ == qt.__name__


def test_fields():
    pe = valuation.pe
    assert type(pe) is qt.StrModelAttr and (pe.name, pe.key) == ("valuation", "pe")
    assert str(pe) == "valuation.pe"
    assert valuation.pe is not valuation.pe
    assert valuation.name == "valuation"
    assert str(qt.StrModelAttr("valuation", "name")) == "valuation.name"
    assert str(qt.StrModelAttr(key="k", name="t")) == "t.k"
    with pytest.raises(ValueError, match="identifier"):
        getattr(valuation, "weird key")
    with pytest.raises(TypeError):
        hash(valuation.pe)
    with pytest.raises(TypeError):
        {valuation.pe}  # noqa: B018


def test_tables():
    t = qt.StrModel(name="custom")
    assert str(t) == "custom" and str(t.col) == "custom.col"
    with pytest.raises(TypeError):
        str(qt.StrModel(5))
    assert str(qt.StrModel(5).col) == "5.col"
    headless = qt.StrModel.__new__(qt.StrModel)
    with pytest.raises(AttributeError):
        headless.col
    t.extra = 1
    assert t.extra == 1 and t.__dict__ == {"name": "custom", "extra": 1}


def test_field_class_is_looked_up_at_call_time(monkeypatch):
    made = []

    class Recording(qt.StrModelAttr):
        def __init__(self, name, key):
            made.append((name, key))
            super().__init__(name, key)

    monkeypatch.setattr(qt, "StrModelAttr", Recording)
    assert type(valuation.pe) is Recording and made == [("valuation", "pe")]


@pytest.mark.parametrize(
    "build, text",
    [
        (lambda: StrQuery(valuation.pe), "query(valuation.pe).filter()"),
        (lambda: StrQuery(valuation), "query(valuation).filter()"),
        (lambda: StrQuery(), "query().filter()"),
        (lambda: StrQuery("raw", 3), "query(raw, 3).filter()"),
        (
            lambda: (
                StrQuery(valuation.symbol, valuation.pe)
                .filter(valuation.pe > 10, valuation.symbol.in_(["a", "b"]))
                .limit(20)
            ),
            "query(valuation.symbol, valuation.pe).filter(valuation.pe>10, valuation.symbol.in_(['a', 'b'])).limit(20)",
        ),
        (lambda: StrQuery().offset(5).limit(10), "query().filter().limit(10).offset(5)"),
        (lambda: StrQuery().limit(0), "query().filter().limit(0)"),
        (lambda: StrQuery().limit(3).limit(None), "query().filter()"),
        (lambda: StrQuery().offset(limit=40), "query().filter().offset(40)"),
        (lambda: StrQuery().limit(limit=2).offset(0), "query().filter().limit(2).offset(0)"),
    ],
)
def test_query_text(build, text):
    assert str(build()) == text


@pytest.mark.parametrize("value, text", [(7, "7"), (-1, "-1"), (2**70, str(2**70)), (True, "1")])
def test_limit_and_offset_take_integers(value, text):
    q = StrQuery().limit(value).offset(value)
    assert str(q) == f"query().filter().limit({text}).offset({text})"


@pytest.mark.parametrize("value", [1.5, "abc", (4,), [1, 2], {"a": 1}, b"x", (1, 2)])
def test_limit_and_offset_refuse_what_is_not_an_integer(value):
    q = StrQuery()
    with pytest.raises(TypeError):
        q.limit(value)
    with pytest.raises(TypeError):
        q.offset(value)
    assert str(q) == "query().filter()"


def test_query_state_and_chaining():
    fields = (valuation.pe, income)
    q = StrQuery(*fields)
    assert q.fields == fields and all(a is b for a, b in zip(q.fields, fields, strict=True))
    assert q.filters == [] and q._limit is None and q._offset is None
    assert q.filter("a") is q and q.limit(1) is q and q.offset(2) is q
    assert q.filter("b", "c").filters == ["a", "b", "c"]
    a, b = valuation.pe > 1, income.eps < 2
    assert str(StrQuery().filter(a).filter(b)) == str(StrQuery().filter(a, b))
    text = str(q)
    assert str(q) == text  # rendering changes nothing
    assert StrQuery().filters is not StrQuery().filters


def test_non_string_condition_fails_like_join():
    with pytest.raises(TypeError) as caught:
        str(StrQuery().filter("a", 3))
    with pytest.raises(TypeError) as expected:
        ", ".join(["a", 3])
    assert str(caught.value) == str(expected.value)


def test_replaced_filters_and_fields_are_used():
    q = StrQuery(valuation.pe)
    q.fields = [income, "x"]
    q.filters = ("c1", "c2")
    assert str(q) == "query(income, x).filter(c1, c2)"


def test_wrong_argument_counts():
    with pytest.raises(TypeError):
        qt.StrModelAttr("a")
    with pytest.raises(TypeError):
        valuation.pe.in_()
    with pytest.raises(TypeError):
        StrQuery().limit()
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        StrQuery(valuation.pe, x=1)


# ---- the classes stay ordinary Python classes ------------------------------


def test_subclass_encode_override_reaches_builders_and_elements():
    class Loud(qt.StrModelAttr):
        def _encode(self, o, top=1):
            return f"<{o}:{top}>" if not isinstance(o, list) else super()._encode(o, top)

    f = Loud("t", "k")
    assert (f == 3) == "t.k==<3:1>"
    assert f.in_([[1]]) == "t.k.in_([['<1:0>']])"


def test_replaced_class_methods_take_effect(monkeypatch):
    monkeypatch.setattr(qt.StrModelAttr, "_encode", lambda self, o, top=1: "E")
    assert (valuation.pe > 1) == "valuation.pe>E"
    monkeypatch.setattr(qt.StrModelAttr, "__gt__", lambda self, other: "GT")
    assert (valuation.pe > 1) == "GT" and (1 < valuation.pe) == "GT"
    monkeypatch.setattr(qt.StrModelAttr, "__str__", lambda self: "S")
    assert str(StrQuery(valuation.pe)) == "query(S).filter()"
    monkeypatch.setattr(qt.StrModel, "__getattr__", lambda self, key: "field " + key)
    assert valuation.pe == "field pe"
    monkeypatch.undo()
    assert (valuation.pe > 1) == "valuation.pe>1"
    assert str(StrQuery(valuation.pe)) == "query(valuation.pe).filter()"


def test_instance_encode_is_honoured():
    f = valuation.pe
    f._encode = lambda o, top=1: "mine"
    assert (f == 1) == "valuation.pe==mine"
    g = valuation.pe
    g._encode = income.eps._encode  # the built-in one, bound elsewhere
    assert (g == "a") == "valuation.pe=='a'"


def test_query_subclass_and_replaced_init(monkeypatch):
    class Tagged(StrQuery):
        def __init__(self, *fields):
            super().__init__(*fields)
            self.tag = "t"

    q = Tagged(valuation.pe).limit(1)
    assert (str(q), q.tag) == ("query(valuation.pe).filter().limit(1)", "t")

    def init(self, *fields):
        self.fields, self.filters, self._limit, self._offset = ("x",), [], None, 5

    monkeypatch.setattr(StrQuery, "__init__", init)
    assert str(StrQuery(1, 2)) == "query(x).filter().offset(5)"


def test_table_subclass_keeps_field_fallback():
    class Table(qt.StrModel):
        pass

    assert str(Table("t").col) == "t.col"


def test_module_abcs_are_looked_up_at_call_time(monkeypatch):
    class NoNumbers:
        class Number:  # nothing is an instance of it
            pass

    monkeypatch.setattr(qt, "numbers", NoNumbers)
    assert (valuation.pe == 10) == "valuation.pe=='10'"
    monkeypatch.setattr(qt, "Iterable", NoNumbers.Number)
    assert valuation.pe.in_([1]) == "valuation.pe.in_('[1]')"
