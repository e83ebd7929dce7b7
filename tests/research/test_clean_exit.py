"""Nothing of the query text or side store modules is reported as leaked when
the interpreter exits, also with their objects still alive at that point."""

import textwrap

from shared.children import run_child

SCRIPT = textwrap.dedent(
    """
    import pandas as pd
    from zentaro.mod.kelvo.research.normal_query import query_text as qt
    from zentaro.mod.kelvo.research.normal_query.query_text import *
    from zentaro.mod.kelvo.data import side_store

    class Platform:
        def side_store(self, sql):
            return pd.DataFrame({"a": [1, 2], "b": ["x", "y"]})

    side_store.kl_api = Platform()
    q = qt.StrQuery(valuation.pe, income).filter(valuation.pe > 1, income.eps.in_(["a", (1, 2)]))
    kept = [q, str(q.limit(3)), valuation.pe, qt.StrModelAttr("t", "k")]
    with side_store.SideStore() as store:
        kept += [store, store.read("select 1"), store.read("select 1")]

    class Late:
        # Runs during teardown, after atexit: the builders still work.
        def __del__(self):
            print(valuation.pe.in_([1, "a"]), flush=True)

    late = Late()
    print(kept[1], len(kept[-1]))
    """
)


def test_no_leak_reports_at_exit(tmp_path):
    run = run_child(
        SCRIPT,
        ZENTARO_INFO=str(tmp_path / "info"),
        ZENTARO_ROOT=str(tmp_path / "root"),
    )
    assert run.returncode == 0, run.stderr
    assert (
        run.stdout.splitlines()[0]
        == "query(valuation.pe, income).filter(valuation.pe>1, income.eps.in_(['a', [1, 2]])).limit(3) 2"
    )
    assert "nanobind" not in run.stderr and "leak" not in run.stderr.lower(), run.stderr
