"""Every command and script answers --help with its usage, exit status 0, and changes nothing."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import zentaro

ROOT = pathlib.Path(__file__).resolve().parents[2]
KIT_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(zentaro.__file__)))
BIN = pathlib.Path(sys.executable).parent

# (command, what the usage line starts with, a text the help must show)
COMMANDS = {
    "zentaro-local": (
        ["-m", "zentaro.support.local", "--help"],
        "usage: zentaro-local [-h] [--env-file FILE] [--keep DIR]",
        "never reads or writes ~/.zentaro",
    ),
    "zentaro-local-run": (
        ["-m", "zentaro.support.local", "run", "--help"],
        "usage: zentaro-local run [-h] [--keep DIR] -- CMD [ARGS...]\n",
        "--keep DIR",
    ),
    "zentaro-broker-demo": (
        ["-m", "zentaro.support.broker_demo", "--help"],
        "usage: zentaro-broker-demo [-h] [--account ACCOUNT]",
        "Print the funds, positions, trades and orders of a brokerage account",
    ),
    "demo-module": (
        ["-m", "zentaro.support.demo", "--help"],
        "usage: python -m zentaro.support.demo [-h]",
        "A tour of the whole kit",
    ),
    "stubs": (
        [str(ROOT / "tools" / "stubs.py"), "--help"],
        "usage: python tools/stubs.py [-h] [--write | --check]",
        "or write them with --write",
    ),
}
SCRIPTS = {
    "test": "usage: bash scripts/test [PYTEST-ARGS...]",
    "demo": "usage: bash scripts/demo [--out DIR] [--no-chart]",
    "sanitize": "usage: bash scripts/sanitize [PYTEST-ARGS...]",
    "docs": "usage: bash scripts/docs [SPHINX-ARGS...]",
    "lint": "usage: bash scripts/lint [--fix]",
    "check-python-calls": "usage: bash scripts/check-python-calls",
}


def snapshot(folder):
    return sorted((str(p), p.stat().st_mtime_ns) for p in folder.rglob("*"))


@pytest.mark.parametrize("name", list(COMMANDS))
def test_commands_answer_help(tmp_path, name):
    args, usage, shown = COMMANDS[name]
    env = {**os.environ, "PYTHONPATH": KIT_ROOT, "HOME": str(tmp_path)}
    watched = ROOT / "src" / "zentaro"
    before = snapshot(watched)
    done = subprocess.run(
        [sys.executable, *args], capture_output=True, text=True, timeout=60, env=env, cwd=tmp_path
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(usage), done.stdout
    assert shown in " ".join(done.stdout.split()), done.stdout
    assert done.stderr == ""
    assert snapshot(watched) == before  # tools/stubs.py --help rewrote every stub once
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("name", list(SCRIPTS))
@pytest.mark.parametrize("flag", ["--help", "-h"])
def test_scripts_answer_help_without_setting_anything_up(tmp_path, name, flag):
    # A copy in an empty tree: a script that went on would make .venv there (or fail).
    (tmp_path / "scripts").mkdir()
    shutil.copy(ROOT / "scripts" / name, tmp_path / "scripts" / name)
    done = subprocess.run(
        ["bash", f"scripts/{name}", "-q", flag],
        capture_output=True,
        text=True,
        timeout=60,
        cwd=tmp_path,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(SCRIPTS[name] + "\n"), done.stdout
    assert "Exit status" in done.stdout and done.stderr == ""
    assert os.listdir(tmp_path) == ["scripts"]


def test_the_console_command_of_the_demo_calls_itself_by_its_name(tmp_path):
    command = BIN / "zentaro-demo"
    if not command.exists():
        pytest.skip("no console commands beside this interpreter (an in-place build)")
    done = subprocess.run([str(command), "--help"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout.startswith("usage: zentaro-demo [-h]")
