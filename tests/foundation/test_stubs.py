"""The committed .pyi stubs describe the modules as built."""

import pathlib
import subprocess
import sys

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
