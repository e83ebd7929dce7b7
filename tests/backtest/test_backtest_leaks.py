"""At interpreter exit nanobind reports objects of our modules that were never freed."""

from shared.children import run_child

SCRIPT = r"""
import json
import os
import corvane
from corvane.utils.disk_persist_provider import DiskPersistProvider
from zentaro.mod.kelvo.modules.zrcelery_utils.paper_book import PaperBook
from corvane.api import order_shares, record, logger
from zentaro.mod.kelvo.utils import recorder
from zentaro.mod.kelvo.mod import KelvoMod

def handle_bar(context, bars):
    order_shares("600000.SH", 100)
    record(v=1)
    logger.info("line")

config = {
    "base": {"start_date": "2023-01-03", "end_date": "2023-01-20"},
    "extra": {"enable_profiler": True},
    "mod": {"kelvo": {"enabled": True, "enable_stream_sink": True, "daily_collect_trade": False}},
}
state = os.path.abspath("state")  # below the working directory, the test's tmp_path
config["mod"]["kelvo"]["persist_provider"] = DiskPersistProvider(state)
corvane.run(config, {"handle_bar": handle_bar})
book = PaperBook("CN", "1d", "p", 1_000_000, state)
assert book.positions and book.total_asset_value
kept_to_exit = PaperBook("CN", "1d", "q", 1_000_000, state)
kept_to_exit.portfolio
json.dumps({"s": {1}}, cls=recorder.LogEncoder)
recorder.logtime_support("calendar_dt")(print)
try:
    KelvoMod().tear_down(False, type("F", (), {"error": ValueError()})())
except Exception:
    pass
print("done")
"""


def test_no_leak_reports_at_exit(tmp_path):
    out = run_child(SCRIPT, timeout=120, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip().endswith("done")
    assert "leak" not in out.stderr.lower(), out.stderr


LOOP = r"""
import tracemalloc
from zentaro.mod.kelvo.utils import recorder

class Quiet:
    def info(self, m): pass
    def warn(self, m): pass
    def error(self, m): pass

recorder.user_normal_log = Quiet()
recorder.log.set_limited("info", False)

def burst(n):
    for i in range(n):
        recorder.log.info("a", i)
        recorder.log.warn("w")
        recorder.in_log.info({"i": i}, type="RECORD")
        recorder.in_log.info({"i": i}, datetime=i)
        try:
            raise KeyError(i)
        except KeyError:
            try:
                recorder.log.error("e")
            except KeyError:
                pass

burst(2000)
tracemalloc.start()
burst(1000)
before = tracemalloc.get_traced_memory()[0]
burst(20000)
print(tracemalloc.get_traced_memory()[0] - before)
"""


def test_hot_paths_hold_no_references():
    out = run_child(LOOP, timeout=120)
    assert out.returncode == 0, out.stderr
    assert int(out.stdout) < 64 * 1024
