"""The end-to-end demo runs every step against the local services."""

import os
import subprocess
import sys

import zentaro

# Wherever the kit was found (an install or an in-place build), the demo finds it too.
KIT_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(zentaro.__file__)))


def test_demo_runs_every_step(tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZENTARO_")}
    env["ZENTARO_ROOT"] = str(tmp_path / "root")
    env["ZENTARO_INFO"] = str(tmp_path / "info")
    env["PYTHONPATH"] = KIT_ROOT
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
    assert "nanobind" not in run.stderr
    assert not (tmp_path / "out" / "portfolio_value.png").exists()
    assert (tmp_path / "out" / "paper_state" / "portfolio").exists()
