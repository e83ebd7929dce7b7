"""The query classes as Python code meets them: bound methods, signatures,
help, None, and a class kept after its module was dropped."""

import inspect
import pydoc
import subprocess
import sys
import textwrap

import pytest

from shared.citizens import assert_python_method, declared_signature
from zentaro.mod.kelvo.research.normal_query import query_text as qt
from zentaro.mod.kelvo.research.normal_query.query_text import StrQuery, valuation

METHODS = [
    (StrQuery, "filter"),
    (StrQuery, "limit"),
    (StrQuery, "offset"),
    (lambda: valuation.pe, "in_"),
    (lambda: valuation.pe, "is_"),
    (lambda: valuation.pe, "any_"),
    (lambda: valuation.pe, "all_"),
    (lambda: valuation.pe, "_encode"),
]


@pytest.mark.parametrize("make, name", METHODS, ids=[name for _, name in METHODS])
def test_bound_methods_behave_like_python_methods(make, name):
    assert assert_python_method(make(), name).__doc__


# Each shows the parameters the build declares (its signature text).
SIGNATURES = [
    StrQuery,
    qt.StrModel,
    qt.StrModelAttr,
    StrQuery.filter,
    StrQuery.limit,
    StrQuery.offset,
    qt.StrModelAttr.__eq__,
    qt.StrModelAttr.__ge__,
    qt.StrModelAttr.in_,
    qt.StrModelAttr.all_,
    qt.StrModelAttr._encode,
    qt.StrModel.__getattr__,
]


@pytest.mark.parametrize("obj", SIGNATURES, ids=lambda obj: obj.__qualname__)
def test_signatures(obj):
    assert str(inspect.signature(obj)) == declared_signature(obj)


@pytest.mark.parametrize(
    "obj",
    [StrQuery, qt.StrModel, qt.StrModelAttr, StrQuery(valuation.pe), valuation, valuation.pe],
    ids=["StrQuery", "StrModel", "StrModelAttr", "query", "table", "field"],
)
def test_help_renders(obj):
    cls = obj if isinstance(obj, type) else type(obj)
    assert cls.__doc__ and cls.__name__ in pydoc.render_doc(obj)


def test_none_where_python_takes_it():
    assert str(StrQuery(None).limit(None).offset(None)) == "query(None).filter()"
    assert str(StrQuery().limit(3).limit(None)) == "query().filter()"
    assert (valuation.pe == None) == "valuation.pe==None"  # noqa: E711 - the builder is the subject
    assert valuation.pe.in_(None) == "valuation.pe.in_(None)"
    assert str(qt.StrModelAttr(None, None)) == "None.None"
    assert valuation.pe._encode(None, None) is None
    with pytest.raises(TypeError):
        str(qt.StrModel(None))  # __str__ must return a str, as in Python


def test_a_table_kept_after_its_module_was_dropped_raises_instead_of_crashing():
    code = textwrap.dedent(
        """
        import gc, sys
        import zentaro.mod.kelvo.research.normal_query as package
        from zentaro.mod.kelvo.research.normal_query.query_text import StrQuery, valuation
        del sys.modules["zentaro.mod.kelvo.research.normal_query.query_text"]
        del package.query_text
        gc.collect()
        for step in (lambda: valuation.pe, lambda: str(StrQuery(valuation).limit(1))):
            try:
                print(step())
            except RuntimeError as error:
                print("RuntimeError", error)
        """
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    first, second = run.stdout.splitlines()
    assert first.startswith("RuntimeError") and "unloaded" in first
    assert second == "query(valuation).filter().limit(1)"
