"""A kit module loads only in the main interpreter: a subinterpreter's import
fails with ImportError and leaves the main interpreter's kit untouched, whether
the main interpreter imported the kit before or after."""

import sys
import textwrap

import pytest

from shared.children import run_child
from shared.modules import KIT_MODULES

MODULES = KIT_MODULES

CHILD = textwrap.dedent(
    r"""
    import glob, importlib, importlib.util, os, sys

    MODULES, order, kind = eval(sys.argv[1]), sys.argv[2], sys.argv[3]

    def compiled_file(name):
        # Found without importing any kit package (their imports load modules).
        top = importlib.util.find_spec("zentaro").submodule_search_locations[0]
        *folders, leaf = name.split(".")[1:]
        (path,) = glob.glob(os.path.join(top, *folders, leaf + ".*.so"))
        return path

    def new_interpreter(kind):
        # "isolated": its own GIL and the interpreter's extension check (3.12+);
        # "legacy": shares the process, as every 3.11 subinterpreter does.
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
            return interpreters, interpreters.create(kind)
        import _xxsubinterpreters as interpreters
        if sys.version_info >= (3, 12):
            return interpreters, interpreters.create(isolated=kind == "isolated")
        return interpreters, interpreters.create()

    def use_the_kit():
        from zentaro.mod.kelvo.utils.deferred_import import DeferredImport
        from zentaro.mod.kelvo.research.normal_query.query_text import StrQuery, valuation
        from zentaro.mod.kelvo.utils import recorder, platform_rpc
        assert DeferredImport("json").dumps([1]) == "[1]"
        assert "pe_ratio" in str(StrQuery(valuation.pe_ratio).filter(valuation.pe_ratio < 3))
        assert recorder.log is not None
        assert platform_rpc.kl_api is not None

    files = [(name, compiled_file(name)) for name in MODULES]
    if order == "main-first":
        use_the_kit()
        before = {name: sys.modules[name] for name in MODULES if importlib.import_module(name)}
    read, write = os.pipe()
    interpreters, interp = new_interpreter(kind)
    script = "\n".join([
        "import importlib.util, os",
        f"for name, path in {files!r}:",
        "    spec = importlib.util.spec_from_file_location(name, path)",
        "    try:",
        "        spec.loader.exec_module(importlib.util.module_from_spec(spec))",
        "        outcome = 'loaded'",
        "    except ImportError as error:",
        "        outcome = str(error)",
        f"    os.write({write}, f'{{name}}: {{outcome}}\\n'.encode())",
    ])
    interpreters.run_string(interp, script)
    interpreters.destroy(interp)
    os.close(write)
    with os.fdopen(read) as lines:
        print(lines.read(), end="")
    use_the_kit()
    if order == "main-first":
        assert all(sys.modules[name] is module for name, module in before.items())
    print("main interpreter fine")
    """
)

KINDS = [
    "legacy",
    pytest.param(
        "isolated",
        marks=pytest.mark.skipif(sys.version_info < (3, 12), reason="3.12+ interpreter kind"),
    ),
]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("order", ["main-first", "sub-first"])
def test_subinterpreter_import_fails_and_main_keeps_working(order, kind):
    child = run_child(CHILD, repr(MODULES), order, kind)
    assert child.returncode == 0, child.stderr[-3000:]
    expected = [f"{m}: module {m} does not support loading in subinterpreters" for m in MODULES]
    assert child.stdout.splitlines() == expected + ["main interpreter fine"]
