"""Every console command and `python -m` entry point answers --help and refuses a bad argument."""

import importlib
import os
import pathlib
import subprocess
import sys
import tomllib

import pytest

import zentaro

ROOT = pathlib.Path(__file__).resolve().parents[2]
KIT_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(zentaro.__file__)))
SCRIPTS = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["scripts"]
MODULES = [
    "zentaro.support.local",
    "zentaro.support.demo",
    "zentaro.support.broker_demo",
    "zentaro.support.platform_server",
    "zentaro.support.gateway_sim",
    "corvane.data.generate",
]


def run_module(module, *args):
    env = {**os.environ, "PYTHONPATH": KIT_ROOT}
    return subprocess.run(
        [sys.executable, "-m", module, *args], capture_output=True, text=True, timeout=60, env=env
    )


@pytest.mark.parametrize("module", MODULES)
def test_help_and_bad_arguments(module):
    helped = run_module(module, "--help")
    assert helped.returncode == 0, helped.stderr
    assert helped.stdout.startswith("usage:")
    refused = run_module(module, "--no-such-option")
    assert refused.returncode == 2
    assert "unrecognized arguments" in refused.stderr or "error" in refused.stderr


def test_console_commands_are_support_code():
    assert SCRIPTS == {
        "zentaro-local": "zentaro.support.local:main",
        "zentaro-broker-demo": "zentaro.support.broker_demo:main",
        "zentaro-demo": "zentaro.support.demo:main",
    }
    for target in SCRIPTS.values():
        module, _, name = target.partition(":")
        assert callable(getattr(importlib.import_module(module), name))
    assert set(SCRIPTS.values()) <= {f"{m}:main" for m in MODULES}


def test_one_version_string():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())
    assert "version" not in project["project"]
    assert project["project"]["dynamic"] == ["version"]
    version = project["tool"]["scikit-build"]["metadata"]["version"]
    assert version["input"] == "src/zentaro/__init__.py"
    assert zentaro.__version__.count(".") == 2
