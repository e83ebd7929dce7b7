"""Each test gets its own cache folder and a logged-in client of the run's
platform server (the root conftest's `server`) in place of the module's `kl_api`."""

import types

import pytest

from shared.platform import reset_server


@pytest.fixture(scope="session")
def ss():
    from zentaro.mod.kelvo.data import side_store

    return side_store


@pytest.fixture(scope="session")
def api(server):
    client = server.client()
    client.login("demo", "demo-pass")
    return client


@pytest.fixture(autouse=True)
def fresh(server, api, ss, tmp_path, monkeypatch):
    reset_server(server)
    monkeypatch.setattr(ss, "kl_api", api)
    monkeypatch.setattr(ss, "setting", types.SimpleNamespace(INFO_PATH=str(tmp_path / "info")))


@pytest.fixture
def cache_dir(tmp_path):
    return tmp_path / "info" / "extra_store.h5"
