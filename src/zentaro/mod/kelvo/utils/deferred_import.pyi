class DeferredImport:
    def __call__(self, /, *args, **kwargs):
        """Call self as a function."""

    def __getattribute__(self, name, /):
        """Return getattr(self, name)."""

    def __init__(self, module_path: object | None) -> None: ...

    @property
    def module(self) -> object: ...

    IMPORTED_MODULE: dict = {}

    def __getattr__(self, func_name: object) -> object: ...
