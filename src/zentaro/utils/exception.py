"""Host layer: the platform's exception types (a deployment replaces this module)."""


class APIException(Exception):
    """A failure reported by the platform server."""


class TradeException(Exception):
    """A failure of a brokerage-account query."""
