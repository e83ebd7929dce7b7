"""Query-text values of every type: the builders give the same text as a plain
Python rendering of the same rules, and nothing a user passes crashes them."""

import collections.abc
import datetime
import decimal
import fractions
import math
import numbers
import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

from shared.fuzz import fuzz_settings
from zentaro.mod.kelvo.research.normal_query import query_text as qt

FUZZ = fuzz_settings(400)


def reference_encode(o, top=1):
    if isinstance(o, str):
        return str.__repr__(str(o)) if top else str(o)
    if o is None or o is True or o is False:
        return o
    if isinstance(o, numbers.Number):
        return o
    if isinstance(o, collections.abc.Iterable):
        return [reference_encode(x, 0) for x in o]
    return str.__repr__(str(o)) if top else str(o)


# Numbers reach the server as literals it reads back as the same number.
_REAL = r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?[jJ]?"
_UNSIGNED = _REAL[len("[+-]?") :]
_LITERAL = rf"{_REAL}(?:/{_REAL}|[+-]{_UNSIGNED})?"
NUMBER_LITERAL = re.compile(rf"\((?:{_LITERAL})\)|{_LITERAL}")


def float_text(x):
    if math.isnan(x):
        return "float('nan')"
    if math.isinf(x):
        return "float('inf')" if x > 0 else "-float('inf')"
    return float.__repr__(float(x))


def number_text(o):
    if isinstance(o, int):
        return int.__repr__(o)
    if isinstance(o, float):
        return float_text(o)
    if isinstance(o, complex):
        if math.isfinite(o.real) and math.isfinite(o.imag):
            return complex.__repr__(o)
        return f"complex({float_text(o.real)}, {float_text(o.imag)})"
    text = str(o)
    if NUMBER_LITERAL.fullmatch(text):
        return str.__str__(text)
    word = text.lstrip("+-").lower() if text.isascii() else ""
    if word in ("nan", "snan"):
        return "float('nan')"
    if word in ("inf", "infinity"):
        return "-float('inf')" if text.startswith("-") else "float('inf')"
    return str.__repr__(str.__str__(text))


def constant(o):
    return o is None or o is True or o is False


def render_item(x):
    if isinstance(x, str):
        return str.__repr__(x)
    if constant(x):
        return repr(x)
    if isinstance(x, numbers.Number):
        return number_text(x)
    if type(x) is list:
        return "[" + ", ".join(render_item(i) for i in x) + "]"
    return repr(x)


def reference_render(v):
    """The text of an encoded value in a condition."""
    if type(v) is str:
        return v
    if constant(v):
        return str(v)
    if type(v) is list:
        return render_item(v)
    if not isinstance(v, str) and isinstance(v, numbers.Number):
        return number_text(v)
    return format(v)


class Rows:
    """An iterable that is no built-in container (read through the Iterable ABC)."""

    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)


class Opaque:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


# Made on demand: a table object answers every attribute read, which confuses
# tools that inspect the values they are handed.
SPECIAL = {
    "table": lambda: qt.valuation,
    "field": lambda: qt.income.eps,
    "nan": lambda: decimal.Decimal("NaN"),
    "third": lambda: fractions.Fraction(1, 3),
}

scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(allow_nan=True, allow_infinity=True),
    st.complex_numbers(),
    st.decimals(allow_nan=False),
    st.fractions(),
    st.text(st.characters(codec=None)),  # surrogates and control characters included
    st.binary(max_size=16),
    st.dates(),
    st.datetimes(),
    st.text(max_size=8).map(Opaque),
    st.sampled_from(["table", "field", "nan", "third"]).map(lambda name: SPECIAL[name]()),
)
hashable = st.one_of(
    st.none(), st.booleans(), st.integers(), st.text(max_size=8), st.binary(max_size=4)
)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=5),
        st.lists(inner, max_size=5).map(tuple),
        st.frozensets(hashable, max_size=5),
        st.dictionaries(hashable, inner, max_size=4),
        st.lists(inner, max_size=4).map(Rows),
    ),
    max_leaves=20,
)
names = st.text(st.characters(codec=None), max_size=12)

BUILDERS = [
    ("__eq__", "{}.{}=={}"),
    ("__ne__", "{}.{}!={}"),
    ("__lt__", "{}.{}<{}"),
    ("__gt__", "{}.{}>{}"),
    ("__le__", "{}.{}<={}"),
    ("__ge__", "{}.{}>={}"),
    ("in_", "{}.{}.in_({})"),
    ("is_", "{}.{}.is_({})"),
    ("any_", "{}.{}.any_({})"),
    ("all_", "{}.{}.all_({})"),
]


@FUZZ
@given(table=names, key=names, value=values, builder=st.sampled_from(BUILDERS))
def test_every_builder_renders_any_value_like_python(table, key, value, builder):
    method, pattern = builder
    text = getattr(qt.StrModelAttr(table, key), method)(value)
    assert type(text) is str
    assert text == pattern.format(table, key, reference_render(reference_encode(value)))


@FUZZ
@given(
    value=values, top=st.one_of(st.integers(-2, 2), st.none(), st.booleans(), st.text(max_size=2))
)
def test_encode_matches_python_at_any_level(value, top):
    # repr: NaN is never equal to itself, and its repr is what reaches the query text
    assert repr(qt.valuation.pe._encode(value, top)) == repr(reference_encode(value, top))


@FUZZ
@given(
    fields=st.lists(
        st.one_of(
            st.sampled_from(["table", "field"]).map(lambda name: SPECIAL[name]()),
            st.builds(qt.StrModelAttr, names, names),
        ),
        max_size=4,
    ),
    filters=st.lists(st.text(max_size=10), max_size=4),
    limit=st.one_of(st.none(), st.integers(), st.booleans()),
    offset=st.one_of(st.none(), st.integers()),
)
def test_query_text_matches_python(fields, filters, limit, offset):
    q = qt.StrQuery(*fields).filter(*filters).limit(limit).offset(offset)
    # Limit and offset are integers, written as int writes them.
    tail = "" if limit is None else f".limit({int(limit)})"
    tail += "" if offset is None else f".offset({int(offset)})"
    fields_text = ", ".join(str(f) for f in fields)
    assert str(q) == f"query({fields_text}).filter({', '.join(filters)}){tail}"


@FUZZ
@given(bad=st.one_of(st.floats(), st.text(max_size=8), st.tuples(st.integers()), st.binary()))
def test_a_limit_or_offset_that_is_not_an_integer_is_a_type_error(bad):
    q = qt.StrQuery()
    with pytest.raises(TypeError):
        q.limit(bad)
    with pytest.raises(TypeError):
        q.offset(bad)
    assert str(q) == "query().filter()"


@FUZZ
@given(bad=st.one_of(st.integers(), st.none(), st.binary(), st.builds(object)))
def test_a_filter_that_is_not_text_is_a_type_error(bad):
    q = qt.StrQuery(qt.valuation.pe).filter("a", bad)
    with pytest.raises(TypeError):
        str(q)


def self_containing():
    box = []
    box.append(box)
    return box


def nested(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def yields_itself():
    return SelfYielding()


class SelfYielding:
    def __iter__(self):
        yield self


@pytest.mark.parametrize(
    "make",
    [self_containing, lambda: nested(200_000), yields_itself],
    ids=["list-in-itself", "nested-200000", "iterable-of-itself"],
)
@pytest.mark.parametrize("method", ["in_", "__eq__", "_encode"])
def test_a_value_without_end_raises_recursion_error_instead_of_crashing(make, method):
    # These used to exhaust the C stack (a segmentation fault): the encoder now
    # counts against the interpreter's recursion limit, as Python code does.
    with pytest.raises(RecursionError):
        getattr(qt.valuation.pe, method)(make())
    assert qt.valuation.pe.in_([[1]]) == "valuation.pe.in_([[1]])"  # still usable afterwards


def test_nesting_within_the_limit_still_renders():
    assert qt.valuation.pe.in_(nested(100)) == "valuation.pe.in_(" + "[" * 101 + "]" * 101 + ")"
    assert (
        qt.valuation.pe.in_([datetime.date(2024, 1, 2), (1, "a")])
        == "valuation.pe.in_(['2024-01-02', [1, 'a']])"
    )
