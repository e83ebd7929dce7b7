"""Write (or check) the .pyi stubs of the kit's extension modules.

    python tools/stubs.py          # rewrite the stubs beside the sources
    python tools/stubs.py --check  # fail when a committed stub is out of date
"""

import importlib
import pathlib
import sys

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


def render(name):
    module = importlib.import_module(name)
    gen = StubGen(module, include_docstrings=True, include_private=False)
    gen.put(module)
    return gen.get()


def main(argv):
    check = "--check" in argv
    names = [a for a in argv if not a.startswith("--")] or MODULES
    stale = []
    for name in names:
        text = render(name)
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
