"""One TLS platform server for the folder; each test gets its own cache
folder and a logged-in platform client in place of the module's `kl_api`."""

import types

import pytest

from zentaro.support.platform_server import PlatformServer


@pytest.fixture(scope="session")
def ss():
    from zentaro.mod.kelvo.data import side_store

    return side_store


@pytest.fixture(scope="session")
def server():
    with PlatformServer(tls=True) as srv:
        yield srv


@pytest.fixture(scope="session")
def api(server):
    client = server.client()
    client.login("demo", "demo-pass")
    return client


@pytest.fixture(autouse=True)
def fresh(server, api, ss, tmp_path, monkeypatch):
    server.clear_faults()
    server._answers.clear()
    del server.calls[:]
    monkeypatch.setattr(ss, "kl_api", api)
    monkeypatch.setattr(ss, "setting", types.SimpleNamespace(INFO_PATH=str(tmp_path / "info")))


@pytest.fixture
def cache_dir(tmp_path):
    return tmp_path / "info" / "extra_store.h5"
