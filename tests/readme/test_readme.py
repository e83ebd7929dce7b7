"""The README's Python examples run as a user would run them: all blocks, in
order, in one interpreter, under `zentaro-local run --`, in a scratch folder
with a scratch home."""

import os
import pathlib
import re
import subprocess
import sys

import zentaro

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
# Wherever the kit was found (an install or an in-place build), the child finds it too.
KIT_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(zentaro.__file__)))


def python_blocks(text):
    return re.findall(r"^```python\n(.*?)^```$", text, flags=re.DOTALL | re.MULTILINE)


def scratch_env(tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("ZENTARO_", "REQUESTS_"))}
    env["HOME"] = str(tmp_path / "home")
    env["TMPDIR"] = str(tmp_path / "tmp")
    env["PYTHONPATH"] = KIT_ROOT
    for folder in ("home", "tmp", "work"):
        (tmp_path / folder).mkdir()
    return env


def test_every_python_example_runs_in_order(tmp_path):
    blocks = python_blocks(README.read_text(encoding="utf-8"))
    assert len(blocks) >= 7
    script = tmp_path / "work" / "readme_examples.py"
    env = scratch_env(tmp_path)
    script.write_text("\n\n".join(blocks), encoding="utf-8")
    run = subprocess.run(
        [sys.executable, "-m", "zentaro.support.local", "run", "--", "python", script.name],
        capture_output=True,
        text=True,
        timeout=300,
        env=env,
        cwd=script.parent,
    )
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-4000:]
    assert run.stderr == "", run.stderr[-4000:]  # no warning, no leak report at exit
    out = run.stdout
    assert "pushed: 600519.SH BUY 100 已成" in out
    assert re.search(
        r"^miss \(\d+, 2\) \d+ ms, files: 1\nhit \(\d+, 2\) \d+ ms, files: 1$", out, re.M
    )
    assert "refused: SQL 执行失败" in out
    assert (
        "query(valuation.symbol, valuation.pe_ratio).filter(valuation.pe_ratio<30).limit(20)" in out
    )
    # The examples' files went to the services' kit home and the scratch folder; the
    # user's home was not touched, and the services left nothing behind.
    assert os.listdir(tmp_path / "home") == []
    assert (tmp_path / "work" / "out" / "paper_state" / "portfolio").exists()
    assert os.listdir(tmp_path / "tmp") == []


def test_the_first_commands_are_the_set_up_commands():
    text = README.read_text(encoding="utf-8")
    first = re.search(r"^```sh\n(.*?)^```$", text, flags=re.DOTALL | re.MULTILINE).group(1)
    commands = [line.split("#")[0].strip() for line in first.splitlines()]
    assert commands[:2] == ["bash scripts/demo", "bash scripts/test"]
