"""The broker client's backend is configuration: a setter or ZENTARO_BROKER_BACKEND."""

import os
import subprocess
import sys

import pytest

import zentaro
from zentaro.mod.tradeapi.sdk import client_rv
from zentaro.support.broker_sim import SimulatedBrokerage

KIT_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(zentaro.__file__)))


@pytest.fixture(autouse=True)
def no_backend(monkeypatch):
    monkeypatch.delenv(client_rv.BACKEND_ENV, raising=False)
    monkeypatch.setattr(client_rv, "_backend_factory", None)


def test_without_configuration_the_client_refuses():
    with pytest.raises(client_rv.BackendNotConfigured, match="ZENTARO_BROKER_BACKEND"):
        client_rv.RavineClient()


@pytest.mark.parametrize(
    "setting",
    ["zentaro.support.broker_sim", ":SimulatedBrokerage", "  "],
    ids=["no-name", "no-module", "blank"],
)
def test_a_malformed_setting_is_refused(monkeypatch, setting):
    monkeypatch.setenv(client_rv.BACKEND_ENV, setting)
    with pytest.raises(client_rv.BackendNotConfigured):
        client_rv.RavineClient()


def test_the_environment_names_the_factory(monkeypatch):
    monkeypatch.setenv(client_rv.BACKEND_ENV, "zentaro.support.broker_sim:SimulatedBrokerage")
    client = client_rv.RavineClient()
    assert isinstance(client.backend, SimulatedBrokerage)
    assert client.backend.publish == client.publish


def test_the_setter_wins_over_the_environment(monkeypatch):
    monkeypatch.setenv(client_rv.BACKEND_ENV, "no.such.module:factory")
    backend = SimulatedBrokerage()
    client_rv.set_backend_factory(lambda: backend)
    assert client_rv.RavineClient().backend is backend
    client_rv.set_backend_factory(None)
    with pytest.raises(ModuleNotFoundError):
        client_rv.RavineClient()


def test_the_kit_loads_no_local_service():
    code = (
        "import sys\n"
        "import zentaro.mod.tradeapi.api.broker_desk, zentaro.mod.tradeapi.sdk.client_rv\n"
        "print(sorted(m for m in sys.modules if m.startswith('zentaro.support')))\n"
    )
    env = {k: v for k, v in os.environ.items() if k != client_rv.BACKEND_ENV}
    env["PYTHONPATH"] = KIT_ROOT
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"
