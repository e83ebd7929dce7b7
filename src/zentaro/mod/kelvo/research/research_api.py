"""Host layer: research API functions published into strategies (a deployment replaces this module)."""

__all__ = ["describe"]


def describe(value):
    """A one-line description of a research value."""
    return f"{type(value).__name__}: {value!r}"
