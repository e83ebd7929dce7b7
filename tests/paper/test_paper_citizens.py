"""PaperBook as Python code meets it: signature, property docs, help, None."""

import inspect
import pydoc

import pytest

from shared.citizens import declared_signature
from zentaro.mod.kelvo.modules.zrcelery_utils.paper_book import PaperBook

FIGURES = ["total_asset_value", "ending_cash", "market_value", "profit_and_loss", "positions"]


def test_constructor_signature():
    assert str(inspect.signature(PaperBook)) == declared_signature(PaperBook)


@pytest.mark.parametrize("name", FIGURES + ["portfolio"])
def test_properties_are_documented(name):
    prop = vars(PaperBook)[name]
    assert prop.__doc__
    getter = prop.fget if isinstance(prop, property) else prop.func
    assert str(inspect.signature(getter)) == declared_signature(getter) == "(self)"


def test_help_renders(tmp_path):
    for obj in (PaperBook, PaperBook("CN", "1d", "p", 1, str(tmp_path))):
        assert "PaperBook" in pydoc.render_doc(obj)


def test_none_is_stored_and_fails_where_python_would(tmp_path):
    book = PaperBook(None, "1d", None, None, str(tmp_path))
    assert (book.stock_market, book.paper_id, book.capital_base) == (None, None, None)
    with pytest.raises(AttributeError, match="lower"):
        book.portfolio
