"""Fixtures of the gateway client tests: the gateway simulator behind the
directory (the root conftest's `directory`) and a stand-in platform client
that hands out real authorisations."""

import pytest

from zentaro.support import platform_data
from zentaro.support.broker_directory import site_answer
from zentaro.support.gateway_sim import GatewaySimulator

USER_ID = "10086"


@pytest.fixture(autouse=True)
def fresh_directory_cache(gl, monkeypatch):
    # Each test starts with an empty broker directory cache.
    monkeypatch.setattr(gl.GatewayClient, "_qs_info", {})
    monkeypatch.setenv("NO_PROXY", "127.0.0.1")
    monkeypatch.setenv("ZENTARO_USER_ID", USER_ID)


@pytest.fixture
def gateway(directory):
    """A simulator listed as the only site of every default broker."""
    with GatewaySimulator() as sim:
        for broker in directory.brokers:
            directory.set_sites(broker["qsid"], site_answer([sim.site]))
        yield sim


class FakePlatform:
    """Answers trade_api(atype="futures") as the platform does, for one user."""

    def __init__(self, user_id=USER_ID, version=None):
        import zentaro

        self.user_id = user_id
        self.version = version or zentaro.__version__
        self.calls = []

    def trade_api(self, **kwargs):
        self.calls.append(kwargs)
        return platform_data.futures_authorisation(self.user_id, self.version)


@pytest.fixture
def platform(gl, monkeypatch):
    fake = FakePlatform()
    monkeypatch.setattr(gl, "kl_api", fake)
    return fake
