from typing import Any, ClassVar, Self


class StrModelAttr:
    """
    A field of a table: comparisons and in_/is_/any_/all_ return condition texts of the query language.
    """

    def __init__(self, name: str, key: str) -> None:
        """Store the table name and the field name."""

    def __str__(self) -> str:
        """Return the field as table.field."""

    def __lt__(self, obj: object) -> str:
        """Return the condition text name.key<obj."""

    def __le__(self, obj: object) -> str:
        """Return the condition text name.key<=obj."""

    def __eq__(self, obj: object) -> str:  # type: ignore[override]
        """Return the condition text name.key==obj."""

    def __ne__(self, obj: object) -> str:  # type: ignore[override]
        """Return the condition text name.key!=obj."""

    def __gt__(self, obj: object) -> str:
        """Return the condition text name.key>obj."""

    def __ge__(self, obj: object) -> str:
        """Return the condition text name.key>=obj."""

    def in_(self, obj: object) -> str:
        """Return the condition text name.key.in_(obj)."""

    def is_(self, obj: object) -> str:
        """Return the condition text name.key.is_(obj)."""

    def any_(self, obj: object) -> str:
        """Return the condition text name.key.any_(obj)."""

    def all_(self, obj: object) -> str:
        """Return the condition text name.key.all_(obj)."""

    def _encode(self, o: object, top: int = 1) -> Any:
        """Return the value as the condition texts write it."""

    __hash__: ClassVar[None] = None  # type: ignore[assignment]

    name: str
    key: str

class StrModel:
    """
    A table of the research query language: any attribute it lacks is a field of it.
    """

    def __str__(self) -> str:
        """Return str(self)."""

    def __init__(self, name: str) -> None:
        """Initialize self.  See help(type(self)) for accurate signature."""

    def __getattr__(self, key: str) -> StrModelAttr:
        """Return the field `key` of this table."""

    name: str

class StrQuery:
    """A query under construction; str() gives its text."""

    def __init__(self, *args: object) -> None:
        """Start a query of the given fields."""

    def filter(self, *args: str) -> Self:
        """Add conditions and return the same query."""

    def limit(self, limit: int) -> Self:
        """
        Set the row limit (an integer, or None for none) and return the same query.
        """

    def offset(self, limit: int) -> Self:
        """
        Set the row offset (an integer, or None for none) and return the same query.
        """

    def __str__(self) -> str:
        """Return the query text."""

    fields: tuple[object, ...]
    filters: list[str]
    _limit: int | None
    _offset: int | None

bonus: StrModel = ...

valuation: StrModel = ...

balance: StrModel = ...

cashflow: StrModel = ...

income: StrModel = ...

profit_report: StrModel = ...

profit_forecast: StrModel = ...

operating: StrModel = ...

debtrepay: StrModel = ...

profit: StrModel = ...

growth: StrModel = ...

cashflow_sq: StrModel = ...

income_sq: StrModel = ...

profit_sq: StrModel = ...

growth_sq: StrModel = ...

asharevalue: StrModel = ...

ashareoperate: StrModel = ...

asharedebt: StrModel = ...

ashareprofit: StrModel = ...

__all__: list[str] = ['bonus', 'valuation', 'balance', 'cashflow', 'income', 'profit_report', 'profit_forecast', 'operating', 'debtrepay', 'profit', 'growth', 'cashflow_sq', 'income_sq', 'profit_sq', 'growth_sq', 'asharevalue', 'ashareoperate', 'asharedebt', 'ashareprofit']
