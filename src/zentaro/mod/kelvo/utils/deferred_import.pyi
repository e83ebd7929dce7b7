from typing import Any


class DeferredImport:
    """Proxy for the object at a dotted module path, imported on first use."""

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        """Call self as a function."""

    def __init__(self, module_path: str) -> None:
        """Initialize self.  See help(type(self)) for accurate signature."""

    def __getattr__(self, func_name: str) -> Any:
        """Return the attribute `func_name` of the resolved object."""

    IMPORTED_MODULE: dict[str, Any] = {}

    @property
    def module(self) -> Any:
        """The resolved object, imported on first use."""

    def __getstate__(self) -> dict[str, Any]:
        """Return the instance dict, as copy and pickle want it."""

    module_path: str
