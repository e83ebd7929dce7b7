"""The side store's files in a folder others share: what is planted at a
query's name, what killed writers left behind, what reaches the disk, and
answers that cannot be stored."""

import base64
import hashlib
import os
import time

import pandas as pd
import pyarrow.feather
import pytest

from shared.durability import Unblock, assert_flushed_around_rename, traced_child

SQL = "select * from instruments limit 7"


def cache_file(store, sql=SQL):
    return os.path.join(store.path, hashlib.md5(base64.b64encode(sql.encode())).hexdigest())


def test_a_fifo_at_a_query_name_is_refused_without_waiting(ss, server):
    with ss.SideStore() as store:
        os.mkfifo(cache_file(store))
        with Unblock(cache_file(store)), pytest.raises(OSError, match="FIFO, not a regular file"):
            store.read(SQL)
    assert os.path.exists(cache_file(store)) and not os.path.isfile(cache_file(store))
    assert server.count("side_store") == 0


def test_stale_temporaries_of_the_store_are_removed_and_nothing_else(ss, tmp_path):
    folder = tmp_path / "info" / "extra_store.h5"
    folder.mkdir(parents=True)
    own = "." + "0123456789abcdef" * 2 + "." + "a1" * 12 + ".tmp"
    names = {
        own: "removed",
        own.replace(".a1", ".b2", 1): "fresh",
        own.replace("0123", "XYZ_"): "not hex",
        ".notes.tmp": "other",
        "0123456789abcdef" * 2: "an entry",
    }
    for name, kind in names.items():
        (folder / name).write_bytes(b"x")
        if kind != "fresh":
            old = time.time() - 2 * 3600
            os.utime(folder / name, (old, old))
    (folder / ("." + "f" * 32 + "." + "c3" * 12 + ".tmp")).mkdir()  # a folder: left alone
    link = folder / ("." + "e" * 32 + "." + "d4" * 12 + ".tmp")
    link.symlink_to(folder / ".notes.tmp")
    os.utime(link, (0, 0), follow_symlinks=False)
    with ss.SideStore():
        pass
    left = sorted(os.listdir(folder))
    assert own not in left and len(left) == len(names) - 1 + 2
    assert (folder / ".notes.tmp").read_bytes() == b"x"


@pytest.mark.parametrize("answer", [None, {"a": [1]}, [1, 2], "frame", 7])
def test_an_answer_that_is_no_frame_is_refused_before_pyarrow(ss, server, monkeypatch, answer):
    written = []

    class Recording:
        read_feather = staticmethod(pyarrow.feather.read_feather)

        @staticmethod
        def write_feather(df, dest):
            written.append(df)

    server.set_answer("side_store", lambda kwargs, user_id: answer)
    monkeypatch.setattr(ss, "feather", Recording)
    with ss.SideStore() as store, pytest.raises(TypeError, match="not a data frame"):
        store.read(SQL)
    assert written == [] and os.listdir(store.path) == []


WRITE = """
import pandas as pd
from zentaro.mod.kelvo.data import side_store as ss

class Platform:
    def side_store(self, sql):
        return pd.DataFrame({"a": [1, 2]})

ss.kl_api = Platform()
with ss.SideStore() as store:
    store.read("select 1")
"""


def test_an_entry_is_flushed_before_its_rename_and_its_folder_after(tmp_path):
    trace = traced_child(WRITE, tmp_path, ZENTARO_INFO=str(tmp_path / "info"))
    folder = str(tmp_path / "info" / "extra_store.h5")
    (entry,) = os.listdir(folder)
    assert_flushed_around_rename(trace, os.path.join(folder, entry))
    assert len(pd.read_feather(os.path.join(folder, entry))) == 2
