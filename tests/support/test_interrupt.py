"""Ctrl-C in the demo: one line, exit status 130, everything it started stopped."""

import os
import signal
import subprocess
import sys

import zentaro

KIT_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(zentaro.__file__)))


def test_ctrl_c_in_the_demo_ends_it_with_one_line(tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("ZENTARO_", "REQUESTS_"))}
    env.update(HOME=str(tmp_path / "home"), TMPDIR=str(tmp_path / "tmp"), PYTHONPATH=KIT_ROOT)
    for folder in ("home", "tmp"):
        (tmp_path / folder).mkdir()
    proc = subprocess.Popen(
        [sys.executable, "-m", "zentaro.support.demo", "--no-chart", "--out", "out"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
        cwd=tmp_path,
    )
    # Interrupted in the middle of the tour, with the services running.
    for line in proc.stdout:
        if line.startswith("[2/"):
            break
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 130, out + err
    assert err == "python -m zentaro.support.demo: interrupted\n"
    assert os.listdir(tmp_path / "tmp") == []  # the services and the scratch home are gone
    assert os.listdir(tmp_path / "home") == []
