"""Host layer: the record type handed to users (a deployment replaces this module)."""


class NameDict(dict):
    """A dict whose keys can also be read and written as attributes."""

    __slots__ = ()

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        self[name] = value

    def __delattr__(self, name):
        try:
            del self[name]
        except KeyError:
            raise AttributeError(name) from None
