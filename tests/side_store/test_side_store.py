"""SideStore against the embedded platform server: misses, hits, file names
and the failures that must leave the cache as it was."""

import base64
import hashlib
import os

import pandas as pd
import pyarrow
import pyarrow.feather
import pytest

from zentaro.support import platform_data
from zentaro.utils.exception import APIException

DOC = "\n    根据sql获取数据，将pg里面的基本信息存储为hdf文件\n    "
SQL = "select * from instruments limit 7"


def b64(sql):
    return base64.b64encode(sql.encode("utf-8")).decode("ascii")


def file_name(sql):
    return hashlib.md5(b64(sql).encode("ascii")).hexdigest()


def listing(cache_dir):
    return sorted(os.listdir(cache_dir)) if cache_dir.exists() else []


def test_class_and_path(ss, cache_dir, tmp_path):
    assert ss.SideStore.__doc__ == DOC
    store = ss.SideStore()
    assert store.path == os.path.join(str(tmp_path / "info"), "extra_store.h5")
    assert not (tmp_path / "info").exists()  # construction touches nothing


def test_miss_then_hit(ss, server, cache_dir):
    with ss.SideStore() as store:
        first = store.read(SQL)
        assert server.count("side_store") == 1
        second = store.read(sql=SQL)
    assert server.count("side_store") == 1
    pd.testing.assert_frame_equal(first, platform_data.side_store(sql=b64(SQL)))
    pd.testing.assert_frame_equal(second, first)
    assert len(first) == 7
    assert listing(cache_dir) == [file_name(SQL)]
    assert server.calls[0][1] == {"sql": b64(SQL)}


@pytest.mark.parametrize(
    "other",
    [SQL + " ", SQL.upper(), "select * from instruments  limit 7"],
    ids=["trailing-space", "letter-case", "inner-space"],
)
def test_texts_differing_slightly_use_their_own_files(ss, server, cache_dir, other):
    with ss.SideStore() as store:
        store.read(SQL)
        store.read(other)
    assert server.count("side_store") == 2
    assert listing(cache_dir) == sorted([file_name(SQL), file_name(other)])
    assert [kw["sql"] for _, kw, _ in server.calls] == [b64(SQL), b64(other)]


@pytest.mark.parametrize(
    "sql", ["", "select '价格' from t where x = 'ü'"], ids=["empty", "non-ascii"]
)
def test_name_and_keyword_follow_the_utf8_text(ss, server, cache_dir, sql):
    # Neither text is a query the local SQL service runs; any frame will do here.
    server.set_answer("side_store", lambda kwargs, user_id: pd.DataFrame({"a": [1]}))
    with ss.SideStore() as store:
        store.read(sql)
    assert server.calls[0][1] == {"sql": b64(sql)}
    assert listing(cache_dir) == [file_name(sql)]
    if sql == "":
        assert file_name(sql) == "d41d8cd98f00b204e9800998ecf8427e"


def test_corrupt_file_propagates_without_a_server_call(ss, server, cache_dir):
    cache_dir.mkdir(parents=True)
    path = cache_dir / file_name(SQL)
    path.write_bytes(b"not feather at all")
    with ss.SideStore() as store, pytest.raises(pyarrow.ArrowInvalid):
        store.read(SQL)
    assert server.count("side_store") == 0
    assert path.read_bytes() == b"not feather at all"


class FailingFeather:
    """Stands in for the module's `feather`: writes part of a file, then fails."""

    def __init__(self, error):
        self.error = error
        self.read_feather = pyarrow.feather.read_feather

    def write_feather(self, df, dest):
        dest.write(b"ARROW1\x00\x00partial")
        raise self.error


@pytest.mark.parametrize(
    "error", [OSError("disk full"), KeyboardInterrupt()], ids=["error", "interrupt"]
)
def test_failed_write_leaves_nothing(ss, server, cache_dir, monkeypatch, error):
    monkeypatch.setattr(ss, "feather", FailingFeather(error))
    with ss.SideStore() as store, pytest.raises(type(error)):
        store.read(SQL)
    assert listing(cache_dir) == []
    # The next read asks again and succeeds.
    monkeypatch.setattr(ss, "feather", pyarrow.feather)
    with ss.SideStore() as store:
        assert len(store.read(SQL)) == 7
    assert listing(cache_dir) == [file_name(SQL)]


def test_answer_that_is_no_frame_raises_and_leaves_nothing(ss, server, cache_dir):
    server.set_answer("side_store", lambda kwargs, user_id: {"not": "a frame"})
    with ss.SideStore() as store, pytest.raises((TypeError, ValueError)):
        store.read(SQL)
    assert listing(cache_dir) == []


def test_server_error_propagates_and_writes_nothing(ss, server, cache_dir):
    server.inject("side_store", "status", status=500, text="查询失败")
    with ss.SideStore() as store, pytest.raises(APIException, match="查询失败"):
        store.read(SQL)
    assert listing(cache_dir) == []


def test_read_outside_a_block_creates_the_folder(ss, server, cache_dir):
    frame = ss.SideStore().read(SQL)
    assert len(frame) == 7
    assert listing(cache_dir) == [file_name(SQL)]
    assert server.count("side_store") == 1


def test_blocks(ss, cache_dir):
    store = ss.SideStore()
    assert store.__enter__() is store
    with store as again:
        assert again is store
    assert cache_dir.is_dir()
    assert store.__exit__(None, None, None) is None
    with pytest.raises(ZeroDivisionError):
        with ss.SideStore():
            1 / 0


@pytest.mark.parametrize(
    "sql, error",
    [
        (None, TypeError),
        (b"select 1", TypeError),
        ("select '\ud800'", UnicodeEncodeError),
    ],
    ids=["none", "bytes", "lone-surrogate"],
)
def test_bad_sql_sends_nothing(ss, server, sql, error):
    match = "argument 'sql' must be str" if error is TypeError else None
    with ss.SideStore() as store, pytest.raises(error, match=match):
        store.read(sql)
    assert server.count("side_store") == 0


def test_instances_take_new_attributes(ss):
    store = ss.SideStore()
    store.note = "x"
    assert store.note == "x" and store.__dict__["note"] == "x"
