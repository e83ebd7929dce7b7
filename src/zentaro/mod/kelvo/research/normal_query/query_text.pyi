class StrModelAttr:
    """
    A field of a table: comparisons and in_/is_/any_/all_ return condition texts of the query language.
    """

    def __init__(self, name, key):
        """Store the table name and the field name."""

    def __str__(self):
        """Return the field as table.field."""

    def __lt__(self, obj):
        """Return the condition text name.key<obj."""

    def __le__(self, obj):
        """Return the condition text name.key<=obj."""

    def __eq__(self, obj):
        """Return the condition text name.key==obj."""

    def __ne__(self, obj):
        """Return the condition text name.key!=obj."""

    def __gt__(self, obj):
        """Return the condition text name.key>obj."""

    def __ge__(self, obj):
        """Return the condition text name.key>=obj."""

    def in_(self, obj):
        """Return the condition text name.key.in_(obj)."""

    def is_(self, obj):
        """Return the condition text name.key.is_(obj)."""

    def any_(self, obj):
        """Return the condition text name.key.any_(obj)."""

    def all_(self, obj):
        """Return the condition text name.key.all_(obj)."""

    def _encode(self, o, top=1):
        """Return the value as the condition texts write it."""

    __hash__: None = None

class StrModel:
    """
    A table of the research query language: any attribute it lacks is a field of it.
    """

    def __str__(self, /):
        """Return str(self)."""

    def __getattribute__(self, name, /):
        """Return getattr(self, name)."""

    def __init__(self, /, name):
        """Store the table's name."""

    def __getattr__(self, /, key):
        """Return the field `key` of this table."""

class StrQuery:
    """A query under construction; str() gives its text."""

    def __init__(self, *args):
        """Start a query of the given fields."""

    def filter(self, *args):
        """Add conditions and return the same query."""

    def limit(self, limit):
        """
        Set the row limit (an integer, or None for none) and return the same query.
        """

    def offset(self, limit):
        """
        Set the row offset (an integer, or None for none) and return the same query.
        """

    def __str__(self):
        """Return the query text."""

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

__all__: list = ['bonus', 'valuation', 'balance', 'cashflow', 'income', 'profit_report', 'profit_forecast', 'operating', 'debtrepay', 'profit', 'growth', 'cashflow_sq', 'income_sq', 'profit_sq', 'growth_sq', 'asharevalue', 'ashareoperate', 'asharedebt', 'ashareprofit']
