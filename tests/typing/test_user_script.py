"""mypy, reading the kit's stubs, accepts a correct user script and catches its mistakes."""

import os
import pathlib
import re
import subprocess
import sys
import tempfile

import pytest

import zentaro

pytest.importorskip("mypy", reason="mypy is in the test extras")

SCRIPT = pathlib.Path(__file__).with_name("user_script.py")
ERROR = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: .*\[(?P<code>[\w-]+)\]$")


def expected_errors():
    marked = re.compile(r"#\s*mypy:\s*([\w-]+)")
    return {
        (number, m.group(1))
        for number, line in enumerate(SCRIPT.read_text().splitlines(), 1)
        if (m := marked.search(line))
    }


def mypy_environment():
    # mypy reads the stubs and runs no kit code: no sanitizer preload for it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    package_root = pathlib.Path(zentaro.__file__).resolve().parents[1]
    # An installed kit is found through the interpreter's site-packages (mypy
    # refuses those in MYPYPATH); an in-place build through its source tree.
    if package_root.name not in ("site-packages", "dist-packages"):
        env["MYPYPATH"] = str(package_root)
    return env


def run_mypy(script):
    with tempfile.TemporaryDirectory(prefix="zentaro-mypy-") as cache:
        run = subprocess.run(
            [
                sys.executable,
                "-m",
                "mypy",
                "--cache-dir",
                cache,
                "--python-version",
                "3.11",
                # Errors of the user's script only, not of the modules it reads.
                "--follow-imports=silent",
                "--no-error-summary",
                "--show-error-codes",
                str(script),
            ],
            capture_output=True,
            text=True,
            env=mypy_environment(),
        )
    assert run.returncode in (0, 1), run.stdout + run.stderr
    return run.stdout


def test_mypy_flags_each_mistake_and_nothing_else():
    output = run_mypy(SCRIPT)
    found = {
        (int(m.group("line")), m.group("code"))
        for line in output.splitlines()
        # The stubs themselves are checked in tests/foundation/test_stubs.py.
        if (m := ERROR.match(line)) and pathlib.Path(m.group("file")).name == SCRIPT.name
    }
    expected = expected_errors()
    assert len(expected) >= 10
    assert found == expected, output
