class DeferredImport:
    """Proxy for the object at a dotted module path, imported on first use."""

    def __call__(self, /, *args, **kwargs):
        """Call self as a function."""

    def __getattribute__(self, name, /):
        """Return getattr(self, name)."""

    def __getattr__(self, /, func_name):
        """Return the attribute `func_name` of the resolved object."""

    IMPORTED_MODULE: dict = {}

    @property
    def module(self):
        """The resolved object, imported on first use."""

    def __getstate__(self):
        """Return the instance dict, as copy and pickle want it."""
