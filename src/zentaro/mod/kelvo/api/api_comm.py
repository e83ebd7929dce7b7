"""Host layer: user API functions published into strategies (a deployment replaces this module)."""

import datetime

__all__ = ["today"]


def today():
    """The current date."""
    return datetime.date.today()
