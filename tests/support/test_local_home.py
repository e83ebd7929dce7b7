"""A local run keeps the kit's files to itself: the user's ~/.zentaro is never read or written."""

import os
import subprocess
import sys

import pytest

import zentaro

KIT_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(zentaro.__file__)))

# What the README's examples do with the kit's files: the stored login, the SQL cache.
SCRIPT = """
import os, sys
from zentaro.mod.kelvo.utils.platform_rpc import kl_api
from zentaro.mod.kelvo.data.side_store import SideStore

print("token before:", kl_api._refresh_token)
if sys.argv[1] == "login":
    kl_api.login("demo", "demo-pass")
with SideStore() as store:
    print("rows:", len(store.read("select code from instruments limit 3")))
print("home:", os.environ["ZENTARO_ROOT"])
"""


def run_local(tmp_path, *args, script_arg="login"):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("ZENTARO_", "REQUESTS_"))}
    env.update(HOME=str(tmp_path / "home"), TMPDIR=str(tmp_path / "tmp"), PYTHONPATH=KIT_ROOT)
    command = ["python", "-c", SCRIPT, script_arg]
    return subprocess.run(
        [sys.executable, "-m", "zentaro.support.local", "run", *args, "--", *command],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
        cwd=tmp_path,
    )


@pytest.mark.parametrize("keep", [False, True], ids=["scratch-home", "kept-home"])
def test_a_local_run_never_touches_the_users_kit_home(tmp_path, keep):
    real = tmp_path / "home" / ".zentaro"
    (real / "info").mkdir(parents=True)
    (real / "auth").write_text("real-token")
    (tmp_path / "tmp").mkdir()
    before = sorted(p.relative_to(tmp_path) for p in (tmp_path / "home").rglob("*"))
    kept = tmp_path / "kept"
    args = ["--keep", str(kept)] if keep else []

    done = run_local(tmp_path, *args)

    assert done.returncode == 0, done.stdout + done.stderr
    assert "token before: None" in done.stdout  # the real token was not read
    assert "rows: 3" in done.stdout
    assert sorted(p.relative_to(tmp_path) for p in (tmp_path / "home").rglob("*")) == before
    assert (real / "auth").read_text() == "real-token"
    assert os.listdir(tmp_path / "tmp") == []  # the scratch home went with the services
    assert (f"home: {kept}" in done.stdout) is keep
    if keep:
        assert (kept / "auth").is_file()
        assert len(os.listdir(kept / "info" / "extra_store.h5")) == 1
        # The next run with the same folder finds the login and the cache again.
        again = run_local(tmp_path, "--keep", str(kept), script_arg="no-login")
        assert again.returncode == 0, again.stdout + again.stderr
        assert "token before: None" not in again.stdout
        assert "rows: 3" in again.stdout


def test_keep_refuses_a_file(tmp_path):
    (tmp_path / "tmp").mkdir()
    (tmp_path / "a-file").write_text("mine")
    done = run_local(tmp_path, "--keep", str(tmp_path / "a-file"))
    assert done.returncode == 2 and "not a folder" in done.stderr
    assert (tmp_path / "a-file").read_text() == "mine"
