"""The end-to-end demo runs every step against the local services."""

import datetime
import os
import subprocess
import sys

import pytest

import zentaro

# Wherever the kit was found (an install or an in-place build), the demo finds it too.
KIT_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(zentaro.__file__)))


def test_demo_runs_every_step(tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("ZENTARO_", "REQUESTS_"))}
    env["ZENTARO_ROOT"] = str(tmp_path / "root")
    env["ZENTARO_INFO"] = str(tmp_path / "info")
    env["PYTHONPATH"] = KIT_ROOT
    env["TMPDIR"] = str(tmp_path / "tmp")
    (tmp_path / "tmp").mkdir()
    run = subprocess.run(
        [
            sys.executable,
            "-m",
            "zentaro.support.demo",
            "--no-chart",
            "--out",
            str(tmp_path / "out"),
        ],
        capture_output=True,
        text=True,
        timeout=300,
        env=env,
        cwd=tmp_path,
    )
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-4000:]
    assert "7 of 7 steps ok" in run.stdout
    assert "pushed on thread 'ravine-push': 600519.SH BUY 100 @ 1650.00 已成" in run.stdout
    assert "SideStore.read (hit)" in run.stdout
    assert "nanobind" not in run.stderr
    assert not (tmp_path / "out" / "portfolio_value.png").exists()
    assert (tmp_path / "out" / "paper_state" / "portfolio").exists()
    assert os.listdir(tmp_path / "tmp") == []


def test_chart_of_value_and_drawdown(tmp_path):
    pytest.importorskip("matplotlib")
    from zentaro.support.demo import write_chart

    start = datetime.date(2023, 1, 3)
    days = [start + datetime.timedelta(days=i) for i in range(60)]
    values = [1_000_000 + 2_000 * ((i % 17) - 8) * (i % 5) for i in range(61)]  # one extra value
    path = tmp_path / "chart.png"
    write_chart(days, values, str(path))
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
