from typing import Any


class DeferredImport:
    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        """Call self as a function."""

    def __init__(self, module_path: str) -> None: ...

    @property
    def module(self) -> Any: ...

    IMPORTED_MODULE: dict[str, Any] = {}

    def __getattr__(self, func_name: str) -> Any: ...

    module_path: str
