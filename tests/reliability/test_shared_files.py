"""The token file in a folder others share: a FIFO at its name, logouts that
race each other, and what reaches the disk when a login stores it."""

import os

import pytest

from shared.durability import Unblock, assert_flushed_around_rename, traced_child


def test_get_user_id_refuses_a_fifo_without_waiting(tmp_path, monkeypatch):
    from zentaro.mod.kelvo import setting
    from zentaro.mod.kelvo.utils import paths

    monkeypatch.delenv("ZENTARO_USER_ID", raising=False)
    monkeypatch.setattr(setting, "ROOT_PATH", str(tmp_path))
    os.mkfifo(tmp_path / "auth")
    with Unblock(tmp_path / "auth"), pytest.raises(OSError, match="not a regular file"):
        paths.get_user_id()
    (tmp_path / "auth").unlink()
    (tmp_path / "auth").write_text("20001.secret")
    assert paths.get_user_id() == "20001"


def test_a_logout_that_loses_the_race_returns_false(rpc, tmp_path, monkeypatch):
    class OtherLogoutWins:
        """os, where another logout removes the file right after the check."""

        def __getattr__(self, name):
            return getattr(os, name)

        class path:
            @staticmethod
            def exists(name):
                found = os.path.exists(name)
                if found:
                    os.remove(name)
                return found

    client = rpc.APIClient(base_url="https://127.0.0.1:1/sdk/")
    client._token_file = str(tmp_path / "auth")
    (tmp_path / "auth").write_text("20001.secret")
    monkeypatch.setattr(rpc, "os", OtherLogoutWins())
    assert client.logout() is False
    assert client.logout() is False


LOGIN = """
from zentaro.mod.kelvo.utils.platform_rpc import kl_api
kl_api.login("demo", "demo-pass")
"""


def test_the_token_is_flushed_before_its_rename_and_its_folder_after(platform, tmp_path):
    root = tmp_path / "root"
    root.mkdir()
    trace = traced_child(LOGIN, tmp_path, ZENTARO_ROOT=str(root), **platform.client_env())
    assert_flushed_around_rename(trace, str(root / "auth"))
