"""SQL texts of every kind: each maps to its own cache file named by the MD5 of
its Base64 form, the server sees only that Base64 text, a second read comes
from disk unchanged, and a text that cannot be encoded sends nothing."""

import base64
import hashlib
import os
import types

import pandas as pd
import pytest
from hypothesis import HealthCheck, given
from hypothesis import strategies as st

from shared.fuzz import fuzz_settings

FUZZ = fuzz_settings(200, HealthCheck.function_scoped_fixture)


class Server:
    def __init__(self):
        self.asked = []

    def side_store(self, **kwargs):
        self.asked.append(kwargs)
        sql = base64.b64decode(kwargs["sql"]).decode("utf-8")
        return pd.DataFrame({"n": [len(sql), 2], "text": [sql, "x"], "f": [0.5, float(len(sql))]})


@pytest.fixture
def ss(monkeypatch, tmp_path):
    from zentaro.mod.kelvo.data import side_store

    monkeypatch.setattr(side_store, "setting", types.SimpleNamespace(INFO_PATH=str(tmp_path)))
    return side_store


@FUZZ
@given(sql=st.text(st.characters(codec="utf-8"), max_size=200))
def test_any_sql_text_is_cached_under_its_own_name(ss, monkeypatch, sql):
    server = Server()
    monkeypatch.setattr(ss, "kl_api", server)
    with ss.SideStore() as store:
        first = store.read(sql)
        second = store.read(sql)
    bsql = base64.b64encode(sql.encode("utf-8"))
    assert server.asked[-1:] == [{"sql": bsql.decode()}] or len(server.asked) == 0
    assert len(server.asked) <= 1  # the second read came from disk
    pd.testing.assert_frame_equal(first, second)
    assert os.path.exists(os.path.join(store.path, hashlib.md5(bsql).hexdigest()))
    assert all(not name.startswith(".") for name in os.listdir(store.path))


@FUZZ
@given(
    sql=st.one_of(
        st.none(),
        st.integers(),
        st.binary(max_size=8),
        st.lists(st.text(max_size=3)),
        st.text(max_size=5).map(lambda t: t + "\ud800"),
    )
)
def test_sql_that_is_not_encodable_text_sends_nothing(ss, monkeypatch, sql):
    server = Server()
    monkeypatch.setattr(ss, "kl_api", server)
    with ss.SideStore() as store:
        with pytest.raises((TypeError, UnicodeEncodeError)):
            store.read(sql)
    assert server.asked == []
