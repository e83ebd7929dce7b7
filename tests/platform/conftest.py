"""Every test of the platform client starts logged out, with an empty
ROOT_PATH and an empty token cache, against the run's platform server (the
root conftest's `server`)."""

import os

import pytest

from shared.platform import reset_server


@pytest.fixture(autouse=True)
def clean_state(request):
    """Fresh files, cache, server records and faults for each test."""
    from zentaro.mod.kelvo import setting

    for name in ("auth", "notice"):
        path = os.path.join(setting.ROOT_PATH, name)
        if os.path.exists(path):
            os.remove(path)
    if "rpc" in request.fixturenames:
        request.getfixturevalue("rpc").APIClient._get_token.cache_clear()
    if "server" in request.fixturenames:
        reset_server(request.getfixturevalue("server"))
    yield


@pytest.fixture
def client(server, rpc):
    return server.client()


@pytest.fixture
def logged_in(client):
    client.login("demo", "demo-pass")
    return client


class RecordingRequests:
    """Stands in for the module's `requests`: records every call, then lets
    the real library do it."""

    def __init__(self, real):
        self.real = real
        self.exceptions = real.exceptions
        self.requests, self.posts = [], []

    def request(self, method, url, **kw):
        self.requests.append((method, url, kw))
        return self.real.request(method, url, **kw)

    def post(self, url, **kw):
        self.posts.append((url, kw))
        return self.real.post(url, **kw)


@pytest.fixture
def recorder(rpc, monkeypatch):
    rec = RecordingRequests(rpc.requests)
    monkeypatch.setattr(rpc, "requests", rec)
    return rec
