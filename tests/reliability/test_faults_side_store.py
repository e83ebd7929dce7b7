"""The SQL result cache on a full disk, a read-only folder, with a writer
killed mid-write, eight processes missing one query at once, and a failing
server: the documented error, and no cached result corrupted or lost."""

import base64
import errno
import functools
import hashlib
import os
import textwrap
import threading
import types

import pandas as pd
import pyarrow.feather
import pytest
import requests

from shared.timing import scaled
from zentaro.support import platform_data
from zentaro.utils.exception import APIException

SMALL = "select code from daily_bars limit 5"
LARGE = "select code, close from daily_bars limit 20000"


def expected(sql):
    return platform_data.side_store(sql=base64.b64encode(sql.encode()).decode())


def cache_name(sql):
    return hashlib.md5(base64.b64encode(sql.encode())).hexdigest()


@pytest.fixture
def ss(platform, rpc, monkeypatch, tmp_path):
    from zentaro.mod.kelvo.data import side_store

    api = platform.client()
    api._token_file = str(tmp_path / "auth")
    api.login("demo", "demo-pass")
    monkeypatch.setattr(side_store, "kl_api", api)
    monkeypatch.setattr(
        side_store, "setting", types.SimpleNamespace(INFO_PATH=str(tmp_path / "info"))
    )
    return side_store


def read(ss, sql):
    with ss.SideStore() as store:
        return store.read(sql)


def cached_frame(folder, sql):
    with open(os.path.join(folder, "extra_store.h5", cache_name(sql)), "rb") as f:
        return pyarrow.feather.read_feather(f)


def names(folder):
    return sorted(os.listdir(os.path.join(folder, "extra_store.h5")))


def test_full_disk(ss, platform, tmp_path, disk, monkeypatch):
    with disk(tmp_path / "info", size="64k") as info:
        read(ss, SMALL)
        with pytest.raises(OSError) as err:
            read(ss, LARGE)
        assert err.value.errno == errno.ENOSPC
        assert names(info) == [cache_name(SMALL)]  # the half-written file is gone
        pd.testing.assert_frame_equal(cached_frame(info, SMALL), expected(SMALL))
        before = platform.count("side_store")
        pd.testing.assert_frame_equal(read(ss, SMALL), expected(SMALL))  # still served from disk
        assert platform.count("side_store") == before


def test_read_only_cache_folder(ss, platform, tmp_path, disk, read_only):
    with disk(tmp_path / "info") as info:
        read(ss, SMALL)
        read_only(info)
        with pytest.raises(OSError) as err:
            read(ss, "select code from instruments limit 2")
        assert err.value.errno == errno.EROFS
        pd.testing.assert_frame_equal(read(ss, SMALL), expected(SMALL))
        assert names(info) == [cache_name(SMALL)]


def test_a_write_that_fails_leaves_nothing(ss, tmp_path, monkeypatch):
    read(ss, SMALL)

    def refuse(frame, f):
        f.write(b"ARROW1 partial")
        raise OSError(errno.EACCES, "permission denied")

    monkeypatch.setattr(
        ss,
        "feather",
        types.SimpleNamespace(write_feather=refuse, read_feather=pyarrow.feather.read_feather),
    )
    with pytest.raises(PermissionError):
        read(ss, LARGE)
    assert names(tmp_path / "info") == [cache_name(SMALL)]


@pytest.mark.parametrize(
    "mode, opts, error",
    [
        ("status", {"status": 500, "text": "查询失败"}, APIException),
        ("garbage", {"body": b"\x00garbage"}, Exception),
        ("drop", {}, requests.exceptions.ConnectionError),
        ("truncate", {}, requests.exceptions.RequestException),
    ],
)
def test_server_faults_store_nothing(ss, platform, fault, tmp_path, mode, opts, error):
    read(ss, SMALL)
    fault(platform, "side_store", mode, **opts)
    with pytest.raises(error):
        read(ss, LARGE)
    assert names(tmp_path / "info") == [cache_name(SMALL)]
    platform.clear_faults()
    pd.testing.assert_frame_equal(read(ss, LARGE), expected(LARGE))


def test_a_slow_server_times_out_and_stores_nothing(ss, platform, fault, tmp_path, monkeypatch):
    api = ss.kl_api
    monkeypatch.setattr(
        ss,
        "kl_api",
        types.SimpleNamespace(side_store=functools.partial(api.side_store, _timeout=0.3)),
    )
    fault(platform, "side_store", "slow", delay=1.0, times=2)
    with pytest.raises(requests.exceptions.ReadTimeout):
        read(ss, SMALL)
    assert names(tmp_path / "info") == []


def test_an_answer_that_is_not_a_frame_stores_nothing(ss, platform, tmp_path):
    platform.set_answer("side_store", lambda kwargs, user: [1, 2, 3])
    with pytest.raises(Exception):  # noqa: B017
        read(ss, SMALL)
    assert names(tmp_path / "info") == []


@pytest.mark.parametrize("damage", [b"", b"ARROW1\x00\x00 torn", b"not feather at all"])
def test_a_damaged_cache_file_is_reported_and_left_alone(ss, platform, tmp_path, damage):
    read(ss, SMALL)
    path = tmp_path / "info" / "extra_store.h5" / cache_name(SMALL)
    path.write_bytes(damage)
    before = platform.count("side_store")
    with pytest.raises(Exception) as err:  # noqa: B017  (the reader's own error, whatever it is)
        read(ss, SMALL)
    assert not isinstance(err.value, FileNotFoundError)
    assert path.read_bytes() == damage and platform.count("side_store") == before


KILLED_WRITER = textwrap.dedent("""
    import os, signal, sys, types
    import pyarrow.feather
    from zentaro.mod.kelvo.data import side_store as ss

    def dying(frame, f):
        pyarrow.feather.write_feather(frame, f)
        f.flush()
        f.truncate(f.tell() // 2)  # half of the file is on disk when the process dies
        os.kill(os.getpid(), signal.SIGKILL)

    ss.kl_api.login("demo", "demo-pass")
    ss.feather = types.SimpleNamespace(write_feather=dying, read_feather=pyarrow.feather.read_feather)
    with ss.SideStore() as store:
        store.read(sys.argv[1])
""")


def test_a_process_killed_while_writing_leaves_no_torn_file(ss, platform, tmp_path, run_child):
    info = tmp_path / "info"
    read(ss, SMALL)
    child = run_child(
        KILLED_WRITER.replace("sys.argv[1]", repr(LARGE)),
        ZENTARO_INFO=str(info),
        ZENTARO_ROOT=str(tmp_path / "child-root"),
        **platform.client_env(),
    )
    assert child.returncode == -9, child.stderr
    left = names(info)
    assert cache_name(LARGE) not in left and cache_name(SMALL) in left
    assert all(n.endswith(".tmp") for n in left if n != cache_name(SMALL))
    pd.testing.assert_frame_equal(read(ss, LARGE), expected(LARGE))  # asked again, stored whole
    pd.testing.assert_frame_equal(cached_frame(info, LARGE), expected(LARGE))


EIGHT = 8
MISSING_READER = textwrap.dedent("""
    import functools, sys, types
    from zentaro.mod.kelvo.data import side_store
    side_store.kl_api.login("demo", "demo-pass")
    # The server answers once all eight have asked: the read time-out must
    # cover eight interpreters starting, which under the sanitizers takes long.
    side_store.kl_api = types.SimpleNamespace(
        side_store=functools.partial(side_store.kl_api.side_store, _timeout=READ_TIMEOUT))
    with side_store.SideStore() as store:
        frame = store.read(sys.argv[1])
    print(len(frame), int(frame["close"].sum()))
""")


# Eight interpreters at once: the longest check outside the leak loop. The
# quick suite keeps the two-process case (tests/side_store).
@pytest.mark.slow
def test_eight_processes_miss_the_same_query_at_once(platform, tmp_path, run_child):
    gate = threading.Barrier(EIGHT, timeout=scaled(60))

    def answer(kwargs, user_id):
        gate.wait()  # no answer leaves before all eight misses have arrived
        return platform_data.side_store(**kwargs)

    platform.set_answer("side_store", answer)
    info = tmp_path / "shared-info"
    code = MISSING_READER.replace("sys.argv[1]", repr(LARGE)).replace(
        "READ_TIMEOUT", repr(scaled(10))
    )
    results = [None] * EIGHT

    def child(n):
        results[n] = run_child(
            code,
            timeout=120,
            ZENTARO_INFO=str(info),
            ZENTARO_ROOT=str(tmp_path / f"root{n}"),
            **platform.client_env(),
        )

    threads = [threading.Thread(target=child, args=(n,)) for n in range(EIGHT)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    frame = expected(LARGE)
    for run in results:
        assert run.returncode == 0, run.stderr
        assert run.stdout.strip() == f"{len(frame)} {int(frame['close'].sum())}"
    assert platform.count("side_store") == EIGHT
    assert names(info) == [cache_name(LARGE)]
    pd.testing.assert_frame_equal(cached_frame(info, LARGE), frame)
