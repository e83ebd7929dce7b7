"""How the condition builders write values, compared with Python's own
str() and repr() of the same values."""

import ast
import datetime
import decimal
import fractions
import operator

import pytest

from zentaro.mod.kelvo.research.normal_query import query_text as qt
from zentaro.mod.kelvo.research.normal_query.query_text import income, valuation


class Named:
    """An object of the last step: written by its str()."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class Shouting(str):
    def __str__(self):
        return self.upper()


def gen(*items):
    return (x for x in items)


# (value, the text after "valuation.pe==" built from Python's own forms)
VALUES = [
    ("abc", repr("abc")),
    ("", repr("")),
    ("价格", repr("价格")),
    (Shouting("abc"), repr("ABC")),
    (None, "None"),
    (True, "True"),
    (False, "False"),
    (0, "0"),
    (-7, "-7"),
    (10**30, str(10**30)),
    (1.5, str(1.5)),
    (1e9, str(1e9)),
    (float("nan"), "float('nan')"),
    (1 + 2j, str(1 + 2j)),
    (decimal.Decimal("1.50"), "1.50"),
    (fractions.Fraction(1, 3), "1/3"),
    ([1, 2.5], str([1, 2.5])),
    (["a", "b"], str(["a", "b"])),
    ((1, 2.5), str([1, 2.5])),
    ((), "[]"),
    ({3}, str([3])),
    (frozenset(), "[]"),
    ({"a": 1, "b": 2}, str(["a", "b"])),
    (b"ab", str([97, 98])),
    (bytearray(b"\x00"), "[0]"),
    (range(3), str([0, 1, 2])),
    (gen("x", 1), str(["x", 1])),
    ([["a", None], ("b",)], str([["a", None], ["b"]])),
    (["it's", 'say "hi"', "a\\b"], str(["it's", 'say "hi"', "a\\b"])),
    ([valuation.pe, income], str(["valuation.pe", "income"])),
    ([Named("x'y")], str(["x'y"])),
    ([datetime.date(2024, 1, 2)], str(["2024-01-02"])),
    (income.eps, repr("income.eps")),
    (income, repr("income")),
    (datetime.date(2024, 1, 2), repr("2024-01-02")),
    (Named("plain"), repr("plain")),
]


@pytest.mark.parametrize("value, text", VALUES, ids=[repr(v)[:30] for v, _ in VALUES])
def test_value_forms(value, text):
    assert (valuation.pe == value) == "valuation.pe==" + text


@pytest.mark.parametrize(
    "text",
    [
        "it's",
        'say "hi"',
        "a\\b",
        "a\\",
        "'",
        "x' or 1==1 or 'y",
        "tab\there",
        "line\nbreak",
        "\x00\x7f",
        "价'格",
    ],
)
@pytest.mark.parametrize("wrap", [str, Named, Shouting], ids=["str", "object", "str-subclass"])
def test_quoted_values_cannot_break_out(text, wrap):
    value = wrap(text)
    condition = valuation.symbol == value
    literal = condition[len("valuation.symbol==") :]
    assert literal == repr(str(value))
    assert ast.literal_eval(literal) == str(value)


def test_plain_texts_are_unchanged():
    assert (valuation.symbol == "abc") == "valuation.symbol=='abc'"
    assert valuation.symbol.in_("abc") == "valuation.symbol.in_('abc')"  # whole, not characters


BUILDERS = [
    ("__eq__", "valuation.pe=={}"),
    ("__ne__", "valuation.pe!={}"),
    ("__lt__", "valuation.pe<{}"),
    ("__gt__", "valuation.pe>{}"),
    ("__le__", "valuation.pe<={}"),
    ("__ge__", "valuation.pe>={}"),
    ("in_", "valuation.pe.in_({})"),
    ("is_", "valuation.pe.is_({})"),
    ("any_", "valuation.pe.any_({})"),
    ("all_", "valuation.pe.all_({})"),
]


@pytest.mark.parametrize("name, template", BUILDERS)
@pytest.mark.parametrize("value, text", [(3, "3"), ("a", "'a'"), ((1, "b"), "[1, 'b']")])
def test_builders_positional_and_keyword(name, template, value, text):
    field = valuation.pe
    expected = template.format(text)
    assert getattr(field, name)(value) == expected
    assert getattr(field, name)(obj=value) == expected


@pytest.mark.parametrize(
    "written, expected",
    [
        (lambda f: 10 < f, "valuation.pe>10"),
        (lambda f: 10 > f, "valuation.pe<10"),
        (lambda f: 10 <= f, "valuation.pe>=10"),
        (lambda f: 10 >= f, "valuation.pe<=10"),
        (lambda f: 10 == f, "valuation.pe==10"),
        (lambda f: 10 != f, "valuation.pe!=10"),
        (lambda f: "a" == f, "valuation.pe=='a'"),
        (lambda f: None != f, "valuation.pe!=None"),  # noqa: E711 - the reflected comparison is the subject
    ],
)
def test_reflected_comparisons(written, expected):
    assert written(valuation.pe) == expected


def test_field_against_field_is_quoted():
    assert (valuation.pe > income.eps) == "valuation.pe>'income.eps'"
    assert (valuation.pe == income.eps) == "valuation.pe=='income.eps'"


@pytest.mark.parametrize(
    "o, top, expected",
    [
        ("a", 1, "'a'"),
        ("a", 0, "a"),
        ("a", "", "a"),
        ("a", [0], "'a'"),
        (income, 0, "income"),
        (None, 0, None),
        (5, 0, 5),
        ((1, "x"), 1, [1, "x"]),
    ],
)
def test_encode_is_public_and_tests_top_for_truth(o, top, expected):
    assert qt.StrModelAttr._encode(valuation.pe, o=o, top=top) == expected
    assert valuation.pe._encode(o, top) == expected


def test_encode_keeps_numbers_and_constants_themselves():
    d = decimal.Decimal("2.5")
    assert valuation.pe._encode(d) is d
    assert valuation.pe._encode(None) is None


def test_conditions_are_strings_and_always_true():
    a, b = valuation.pe == 1, valuation.pe == 1
    assert a == b and isinstance(a, str) and a is not b
    assert bool(valuation.pe == 0) is True
    assert all(
        isinstance(op(valuation.pe, 1), str) for op in (operator.lt, operator.ge, operator.ne)
    )


def test_self_containing_list_raises_recursion_error():
    loop = []
    loop.append(loop)
    with pytest.raises(RecursionError):
        valuation.pe.in_(loop)


def test_errors_from_values_propagate():
    class BadStr:
        def __str__(self):
            raise ValueError("no text")

    def broken():
        yield 1
        raise KeyError("mid-way")

    with pytest.raises(ValueError, match="no text"):
        valuation.pe == BadStr()  # noqa: B015 - the comparison itself raises
    with pytest.raises(KeyError):
        valuation.pe.in_(broken())
