"""The committed .pyi stubs describe the modules as built."""

import importlib
import os
import pathlib
import subprocess
import sys
import tempfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
MODULES = [
    line.strip().strip('",')
    for line in (ROOT / "tools" / "stubs.py")
    .read_text()
    .split("MODULES = [")[1]
    .split("]")[0]
    .splitlines()
    if line.strip()
]


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
    return [str(p) for name in MODULES for p in [ROOT / "src" / (name.replace(".", "/") + ".pyi")]]


def _mypy(*args):
    """Runs mypy on the source tree's stubs, with a throw-away cache."""
    pytest.importorskip("mypy", reason="mypy is in the test extras")
    # Run in the cache folder: stubtest writes its cache into the working folder.
    path = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    with tempfile.TemporaryDirectory(prefix="zentaro-mypy-") as cache:
        env = dict(os.environ, MYPYPATH=str(ROOT / "src"), MYPY_CACHE_DIR=cache)
        env["PYTHONPATH"] = os.pathsep.join(path)
        return subprocess.run(
            [sys.executable, "-m", *args], capture_output=True, text=True, env=env, cwd=cache
        )


# pandas ships no types: a frame is Any to a checker without pandas-stubs.
MYPY_OPTIONS = ["--follow-imports=silent", "--disable-error-code=import-untyped"]


def test_mypy_accepts_the_stubs():
    run = _mypy("mypy", *MYPY_OPTIONS, "--python-version", "3.11", *_stub_files())
    assert run.returncode == 0, run.stdout + run.stderr


def _binds_nanobind_functions(name):
    def nanobind(obj):
        if isinstance(obj, (classmethod, staticmethod)):
            obj = obj.__func__
        elif isinstance(obj, property):
            obj = obj.fget
        return type(obj).__module__ == "nanobind" and type(obj).__name__ in ("nb_func", "nb_method")

    module = importlib.import_module(name)
    members = list(vars(module).values())
    for cls in [m for m in members if isinstance(m, type) and m.__module__ == name]:
        members += vars(cls).values()
    return any(nanobind(m) for m in members)


def test_stubs_agree_with_the_build_at_run_time():
    # stubtest compares every stub with the imported module. Modules that still
    # bind nanobind functions have no run-time signatures it could read.
    names = [name for name in MODULES if not _binds_nanobind_functions(name)]
    config = ROOT / "tests" / "foundation" / "stubtest_mypy.ini"
    allowlist = ROOT / "tests" / "foundation" / "stubtest_allowlist.txt"
    run = _mypy(
        "mypy.stubtest",
        "--mypy-config-file",
        str(config),
        "--allowlist",
        str(allowlist),
        "--ignore-unused-allowlist",
        *names,
    )
    assert run.returncode == 0, run.stdout + run.stderr
