"""Two processes that miss the same query at the same moment both get the
server's frame, and the cache ends up holding one whole, valid file."""

import base64
import os
import subprocess
import sys
import textwrap
import threading

import pandas as pd
import pyarrow.feather

from shared.children import child_env
from shared.timing import scaled
from zentaro.support import platform_data

SQL = "select code, close from daily_bars limit 50"

CHILD = textwrap.dedent(
    """
    import sys
    from zentaro.mod.kelvo.data import side_store
    side_store.kl_api.login("demo", "demo-pass")
    with side_store.SideStore() as store:
        frame = store.read(sys.argv[1])
    print(len(frame), int(frame["close"].sum()))
    """
)


def test_two_processes_miss_the_same_query_at_once(server, tmp_path):
    both_asked = threading.Barrier(2, timeout=scaled(20))

    def answer(kwargs, user_id):
        both_asked.wait()  # neither answer leaves before both misses arrived
        return platform_data.side_store(**kwargs)

    server.set_answer("side_store", answer)
    info = tmp_path / "shared-info"
    children = []
    for n in range(2):
        env = child_env(ZENTARO_ROOT=str(tmp_path / f"root{n}"), ZENTARO_INFO=str(info))
        env.update(server.client_env())
        children.append(
            subprocess.Popen(
                [sys.executable, "-c", CHILD, SQL],
                env=env,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                text=True,
            )
        )
    outputs = [child.communicate(timeout=scaled(60)) for child in children]
    for child, (_, err) in zip(children, outputs, strict=True):
        assert child.returncode == 0, err

    expected = platform_data.side_store(sql=base64.b64encode(SQL.encode()).decode())
    assert {out.strip() for out, _ in outputs} == {
        f"{len(expected)} {int(expected['close'].sum())}"
    }
    assert server.count("side_store") == 2
    cache_dir = info / "extra_store.h5"
    names = os.listdir(cache_dir)
    assert len(names) == 1 and not names[0].startswith(".")
    with open(cache_dir / names[0], "rb") as f:
        pd.testing.assert_frame_equal(pyarrow.feather.read_feather(f), expected)
