"""Write (or check) the .pyi stubs of the kit's extension modules.

python tools/stubs.py          # rewrite the stubs beside the sources
python tools/stubs.py --check  # fail when a committed stub is out of date
"""

import importlib
import pathlib
import sys
import types

from nanobind.stubgen import StubGen

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"

MODULES = [
    "zentaro.mod.kelvo.utils.deferred_import",
    "zentaro.mod.kelvo.utils.platform_rpc",
    "zentaro.mod.tradeapi.api.broker_desk",
    "zentaro.mod.tradeapi.sdk.gateway_link",
    "zentaro.mod.kelvo.utils.recorder",
    "zentaro.mod.kelvo.stream_sink",
    "zentaro.mod.kelvo.mod",
    "zentaro.mod.kelvo.modules.zrcelery_utils.paper_book",
    "zentaro.mod.kelvo.research.normal_query.query_text",
    "zentaro.mod.kelvo.data.side_store",
]


def stub_path(name):
    return SRC.joinpath(*name.split(".")).with_suffix(".pyi")


# Function objects of the kit's own types that the stub cannot name: they are
# callables, described as such.
CALLABLE_TYPES = ("logtime_function", "_CFunction")


class KitStubGen(StubGen):
    """Kit functions (the shared layer's function type) and the methods of
    classes made from type specs are functions: their signature comes from
    __text_signature__, as for a built-in."""

    def is_function(self, tp):
        return (
            super().is_function(tp)
            or issubclass(tp, types.MethodDescriptorType)
            or (tp.__module__, tp.__name__) == ("zentaro", "function")
        )


def render(name):
    module = importlib.import_module(name)
    # Private members are part of the documented interface here (_get_token,
    # _request, _encode ...), and names such as in_ end with an underscore.
    gen = KitStubGen(module, include_docstrings=True, include_private=True)
    gen.put(module)
    text = gen.get()
    for type_name in CALLABLE_TYPES:
        if f": {type_name} = ..." in text:
            text = "from collections.abc import Callable\n" + text.replace(
                f": {type_name} = ...", ": Callable[..., object]"
            )
    return _sorted_imports(text)


def _sorted_imports(text):
    # stubgen groups imports by where a module was found (site-packages or a
    # source tree): one sorted block keeps the stub the same for both.
    lines = text.split("\n")
    statements, i = [], 0
    while i < len(lines):
        line = lines[i]
        if not line.strip():
            i += 1
            continue
        if not line.startswith(("import ", "from ")):
            break
        statement = [line]
        while statement[-1].rstrip().endswith(("(", ",")) or (
            "(" in statement[0] and ")" not in statement[-1]
        ):
            i += 1
            statement.append(lines[i])
        statements.append("\n".join(statement))
        i += 1
    rest = "\n".join(lines[i:])
    return "\n".join(sorted(statements)) + "\n\n\n" + rest if statements else rest


def main(argv):
    check = "--check" in argv
    names = [a for a in argv if not a.startswith("--")] or MODULES
    stale = []
    for name in names:
        text = render(name)
        compile(text, f"{name}.pyi", "exec")  # a stub must at least be valid Python
        path = stub_path(name)
        if check:
            if not path.exists() or path.read_text() != text:
                stale.append(name)
        else:
            path.write_text(text)
    if stale:
        print("out-of-date stubs (run python tools/stubs.py):", *stale, sep="\n  ")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
