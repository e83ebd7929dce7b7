"""Behaviour that needs a fresh interpreter: the base URL fixed at import,
and a clean exit (nanobind reports leaked objects on stderr)."""

import subprocess
import sys
import textwrap

import pytest

from shared.children import child_env
from shared.timing import scaled


def run(code, tmp_path, **env):
    full_env = child_env(
        ZENTARO_ROOT=str(tmp_path / "root"), ZENTARO_INFO=str(tmp_path / "info"), **env
    )
    if "ZENTARO_URL" not in env:
        full_env.pop("ZENTARO_URL", None)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=scaled(60),
    )
    assert proc.returncode == 0, proc.stderr
    return proc


@pytest.mark.parametrize("env", [{}, {"ZENTARO_URL": "http://before.example/base/"}])
def test_base_url_is_fixed_at_import(tmp_path, env):
    proc = run(
        """
        import os
        from zentaro.mod.kelvo.utils import platform_rpc as p
        os.environ["ZENTARO_URL"] = "http://after.example/"
        print(p.APIClient.base_url, p.kl_api.base_url, p.APIClient().base_url, sep="\\n")
    """,
        tmp_path,
        **env,
    )
    urls = proc.stdout.split()
    assert len(set(urls)) == 1
    if env:
        assert urls[0] == env["ZENTARO_URL"]
    else:
        assert urls[0].startswith("https://") and urls[0].endswith("/sdk/")


def test_clean_exit_after_real_use(tmp_path):
    proc = run(
        """
        from zentaro.support.platform_server import PlatformServer
        from zentaro.mod.kelvo.utils import platform_rpc as p
        srv = PlatformServer(tls=False).start()
        client = srv.client()
        client.login("demo", "demo-pass")
        assert len(client.instruments()) == 300
        assert len(client.get_fundamentals(rows=500)) == 500
        try:
            client.nothing
        except p.APIException:
            pass
        p.kl_api.base_url = srv.url
        p.kl_api._refresh_token = client._refresh_token
        p.kl_api.services = p.kl_api.all_api()  # kl_api and the token cache live on to the exit
        print("ok")
    """,
        tmp_path,
    )
    assert proc.stdout.strip() == "ok"
    assert proc.stderr == ""
