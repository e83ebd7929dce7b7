"""The server evaluates the query text: nothing a caller passes may reach it
as code. Limits are integers, field names identifiers, numbers literals."""

import ast
import decimal
import fractions
import numbers

import numpy as np
import pytest

from zentaro.mod.kelvo.research.normal_query.query_text import StrQuery, valuation

CODE = "1) or __import__('os').system('id') or (1"


def served(text):
    """What the server gets back when it evaluates a rendered value."""
    tree = ast.parse(text, mode="eval")
    names = {n.id for n in ast.walk(tree) if isinstance(n, ast.Name)}
    assert names <= {"float", "complex"}, text
    return eval(
        compile(tree, "<query>", "eval"), {"__builtins__": {}, "float": float, "complex": complex}
    )  # noqa: S307


@pytest.mark.parametrize("value", [CODE, 2.0, "5", b"5", [5]])
@pytest.mark.parametrize("method", ["limit", "offset"])
def test_limit_and_offset_take_integers_only(method, value):
    with pytest.raises(TypeError):
        getattr(StrQuery(), method)(value)


@pytest.mark.parametrize(
    "value, text", [(True, "1"), (False, "0"), (np.int64(7), "7"), (2**64, str(2**64))]
)
def test_integer_likes_are_written_as_int_writes_them(value, text):
    # bool passes, as isinstance(True, int) and operator.index do.
    assert (
        str(StrQuery().limit(value).offset(value))
        == f"query().filter().limit({text}).offset({text})"
    )


@pytest.mark.parametrize("name", ["weird key", CODE, "", "1st", "a.b", "a-b"])
def test_field_names_read_through_getattr_must_be_identifiers(name):
    with pytest.raises(ValueError, match="identifier"):
        getattr(valuation, name)


def test_field_name_subclass_is_stored_as_plain_text():
    class Sneaky(str):
        def __str__(self):
            return CODE

        def __format__(self, format_text):
            return CODE

    field = getattr(valuation, Sneaky("pe"))
    assert type(field.key) is str and str(field) == "valuation.pe"
    assert (field > 1) == "valuation.pe>1"


class Loud(int):
    def __str__(self):
        return CODE

    __repr__ = __format__ = lambda self, *args: CODE


class LoudFloat(float):
    __str__ = __repr__ = __format__ = Loud.__repr__


class Odd(numbers.Number):
    def __str__(self):
        return CODE


@pytest.mark.parametrize(
    "value, expected",
    [
        (Loud(5), 5),
        (LoudFloat(2.5), 2.5),
        (float("inf"), float("inf")),
        (-float("inf"), -float("inf")),
        (complex(float("inf"), 1), complex(float("inf"), 1)),
        (np.float32("inf"), float("inf")),
        (decimal.Decimal("-Infinity"), -float("inf")),
        (decimal.Decimal("1.50"), 1.5),
        (fractions.Fraction(1, 4), 0.25),
        (Odd(), CODE),
    ],
    ids=repr,
)
@pytest.mark.parametrize("nested", [False, True], ids=["top", "in-list"])
def test_numbers_reach_the_server_as_the_same_number(value, expected, nested):
    condition = valuation.pe.in_([value]) if nested else valuation.pe == value
    text = (
        condition[len("valuation.pe.in_(") : -1] if nested else condition[len("valuation.pe==") :]
    )
    got = served(text)
    assert (got[0] if nested else got) == expected


@pytest.mark.parametrize(
    "value", [float("nan"), decimal.Decimal("NaN"), np.float64("nan")], ids=repr
)
def test_nan_is_written_as_an_expression(value):
    assert (valuation.pe == value) == "valuation.pe==float('nan')"
    assert valuation.pe.in_((value, 1)) == "valuation.pe.in_([float('nan'), 1])"
