"""The committed .pyi stubs describe the modules as built."""

import functools
import importlib
import importlib.util
import os
import pathlib
import subprocess
import sys
import tempfile
import types

import pytest

from shared.modules import KIT_MODULES

ROOT = pathlib.Path(__file__).resolve().parents[2]
MODULES = KIT_MODULES


@pytest.mark.parametrize("name", MODULES)
def test_stub_is_current(name):
    # A fresh interpreter, so that state left by other tests cannot show in the stub.
    run = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "stubs.py"), "--check", name],
        capture_output=True,
        text=True,
    )
    assert run.returncode == 0, run.stdout + run.stderr


def test_py_typed_marker_ships():
    assert (ROOT / "src" / "zentaro" / "py.typed").exists()


def _stub_files():
    return [str(ROOT / "src" / (name.replace(".", "/") + ".pyi")) for name in MODULES]


def _mypy(*args, loads_kit=False):
    """Runs mypy on the source tree's stubs, with a throw-away cache."""
    pytest.importorskip("mypy", reason="mypy is in the test extras")
    # Run in the cache folder: stubtest writes its cache into the working folder.
    path = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    with tempfile.TemporaryDirectory(prefix="zentaro-mypy-") as cache:
        env = dict(os.environ, MYPYPATH=str(ROOT / "src"), MYPY_CACHE_DIR=cache)
        env["PYTHONPATH"] = os.pathsep.join(path)
        if not loads_kit:
            # The checker alone runs no kit code: keep it out of a sanitizer run's preload.
            env.pop("LD_PRELOAD", None)
        return subprocess.run(
            [sys.executable, "-m", *args], capture_output=True, text=True, env=env, cwd=cache
        )


# pandas ships no types: a frame is Any to a checker without pandas-stubs.
MYPY_OPTIONS = ["--follow-imports=silent", "--disable-error-code=import-untyped"]


def test_mypy_accepts_the_stubs():
    run = _mypy("mypy", "--strict", *MYPY_OPTIONS, "--python-version", "3.11", *_stub_files())
    assert run.returncode == 0, run.stdout + run.stderr


def _nanobind_functions(name):
    """Qualified names of the module's members that are still nanobind bindings."""

    def nanobind(obj):
        if isinstance(obj, (classmethod, staticmethod)):
            obj = obj.__func__
        elif isinstance(obj, property):
            obj = obj.fget
        return type(obj).__module__ == "nanobind" and type(obj).__name__ in ("nb_func", "nb_method")

    module = importlib.import_module(name)
    found = [f"{name}.{k}" for k, v in vars(module).items() if nanobind(v)]
    for cls in [v for v in vars(module).values() if isinstance(v, type) and v.__module__ == name]:
        found += [f"{name}.{cls.__qualname__}.{k}" for k, v in vars(cls).items() if nanobind(v)]
    return found


def test_stubs_agree_with_the_build_at_run_time():
    # stubtest compares every stub with the imported module. A nanobind binding
    # has no run-time signature it could read: those members are let through.
    allowlist = ROOT / "tests" / "foundation" / "stubtest_allowlist.txt"
    bindings = "\n".join(f for name in MODULES for f in _nanobind_functions(name))
    with tempfile.NamedTemporaryFile("w", prefix="zentaro-stubtest-", suffix=".txt") as listed:
        listed.write(bindings + "\n")
        listed.flush()
        run = _mypy(
            "mypy.stubtest",
            "--mypy-config-file",
            str(ROOT / "tests" / "foundation" / "stubtest_mypy.ini"),
            "--allowlist",
            str(allowlist),
            "--allowlist",
            listed.name,
            "--ignore-unused-allowlist",
            *MODULES,
            loads_kit=True,
        )
    assert run.returncode == 0, run.stdout + run.stderr


# ---- the generator's check of the type table against the build ------------------


def _tool():
    found = importlib.util.spec_from_file_location("zentaro_stub_tool", ROOT / "tools" / "stubs.py")
    tool = importlib.util.module_from_spec(found)
    found.loader.exec_module(tool)
    return tool


def _kit_module():
    """A module whose class holds real kit functions (side_store's), bound three ways."""
    from zentaro.mod.kelvo.data.side_store import SideStore

    read = vars(SideStore)["read"]  # read(self, sql)
    module = types.ModuleType("kit_fake")
    module.Store = type(
        "Store",
        (),
        {"__module__": "kit_fake", "read": read, "make": classmethod(read), "size": property(read)},
    )
    return module


def _render(tool, table):
    gen = tool.TypedStubGen(
        _kit_module(), table={f"kit_fake.Store.{k}": v for k, v in table.items()}
    )
    gen.put(gen.module)
    return gen


TYPED = {
    "read": {"return": "int", "sql": "str"},
    "make": {"return": "int", "sql": "str"},
    "size": None,
}


def test_kit_functions_take_their_types_from_the_table(capsys):
    gen = _render(_tool(), TYPED)
    text = gen.get()
    assert '    def read(self, sql: str) -> int:\n        """Return the frame of' in text
    assert "    @classmethod\n    def make(cls, sql: str) -> int:" in text
    assert "size" not in text and gen.unused_entries() == []
    assert capsys.readouterr().err == ""


def test_a_member_missing_from_the_table_is_untyped_and_reported(capsys):
    text = _render(_tool(), {"make": TYPED["make"], "size": None}).get()
    assert "    def read(self, sql):\n" in text
    assert "kit_fake.Store.read is not in the type table" in capsys.readouterr().err


@pytest.mark.parametrize(
    "entry",
    [
        {"return": "int", "query": "str"},  # another name
        {"return": "int", "sql": "str", "limit": "int"},  # a parameter too many
        {"return": "int"},  # one left untyped
        # A wrapper's keyword on a function that no decorator wraps.
        {"return": "int", "sql": "str", "sleep_on_limit": "bool = False"},
        {"return": "int", "sql": "str", "self": "object"},  # the receiver typed
    ],
)
def test_a_table_that_disagrees_with_the_build_stops_the_run(entry):
    tool = _tool()
    with pytest.raises(tool.TableError, match=r"kit_fake\.Store\.read: the build takes"):
        _render(tool, dict(TYPED, read=entry))


def test_a_table_entry_for_a_member_the_build_lacks_is_reported():
    gen = _render(_tool(), dict(TYPED, write={"return": "None"}))
    assert gen.unused_entries() == ["kit_fake.Store.write"]


def test_a_decorated_function_may_take_keywords_of_its_wrapper():
    tool = _tool()
    store = _kit_module().Store
    read = vars(store)["read"]
    entry = {"return": "int", "sql": "str", "sleep_on_limit": "bool = False"}
    wrapper = functools.wraps(read)(lambda *a, **k: None)
    params = tool.typed_parameters("k", entry, wrapper, store, "read")
    assert tool.render_parameters(params) == "self, sql: str, *, sleep_on_limit: bool = False"
    with pytest.raises(tool.TableError):
        tool.typed_parameters("k", {**entry, "sleep_on_limit": "bool"}, wrapper, store, "read")
