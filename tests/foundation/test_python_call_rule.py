"""The check for raw calls into Python: the tree passes, a planted raw call fails it."""

import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
CHECKER = ROOT / "tools" / "check_python_calls.py"


def check(*args):
    return subprocess.run(
        [sys.executable, str(CHECKER), *map(str, args)], capture_output=True, text=True, timeout=60
    )


def test_the_tree_keeps_the_rule():
    done = subprocess.run(
        ["bash", str(ROOT / "scripts" / "check-python-calls")],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stdout + done.stderr


PLANTED = {
    "raw": ("nb::object v = steal_or_raise(PyObject_GetAttr(o.ptr(), name));", 1),
    "raw call split over lines": ("auto r = PyObject_Vectorcall(\n    fn, args, 1, nullptr);", 1),
    "raw number operation": ("nb::object s = steal_or_raise(PyNumber_Add(a, b));", 1),
    "guarded": ("auto r = into_python([&] {\n    return PyObject_Str(o.ptr());\n});", 0),
    "in a comment": ("// PyObject_Repr(o) would run __repr__\n/* PyIter_Next( */", 0),
    "in a string": ('const char *t = "PyObject_Call(";', 0),
    "a type-slot read": ("if (!PyNumber_Check(o)) return;", 0),
}


@pytest.mark.parametrize("name", list(PLANTED))
def test_a_planted_call(tmp_path, name):
    body, expected = PLANTED[name]
    source = tmp_path / "planted.cpp"
    source.write_text(f"void f(nb::handle o) {{\n{body}\n}}\n")
    allowed = tmp_path / "allowed.txt"
    allowed.write_text("# nothing allowed\n")
    done = check("--allowed", allowed, source)
    assert done.returncode == expected, done.stdout
    assert done.stdout.count("outside into_python") == expected
    if expected:
        assert f"{source}:2:" in done.stdout
        # Named in the allow-list, the same call passes.
        line = " ".join(body.splitlines()[0].split())
        allowed.write_text(f"# a reason\n{source}: {line}\n")
        assert check("--allowed", allowed, source).returncode == 0


def test_a_stale_allow_list_entry_fails(tmp_path):
    allowed = tmp_path / "allowed.txt"
    allowed.write_text(
        (ROOT / "tools" / "python_calls_allowed.txt").read_text()
        + "src/nowhere.cpp: PyObject_Str(x);\n"
    )
    done = check("--allowed", allowed)
    assert done.returncode == 1
    assert "no longer found, remove the entry: src/nowhere.cpp: PyObject_Str(x);" in done.stdout
