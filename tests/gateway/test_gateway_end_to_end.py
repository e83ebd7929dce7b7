"""The whole login through the real platform client and the embedded platform
server, in this process and in a fresh interpreter (which must exit without
nanobind leak reports)."""

import textwrap

from shared.children import run_child
from shared.platform import reset_server
from zentaro.support.gateway_sim import serve_all


def test_login_through_the_platform_server(gl, gateway, server, monkeypatch):
    reset_server(server)  # the run's platform server, shared with other folders
    api = server.client()
    api.login("demo", "demo-pass")
    monkeypatch.setattr(gl, "kl_api", api)
    monkeypatch.setenv("ZENTARO_USER_ID", server.users["demo"]["user_id"])
    client = gl.GatewayClient("北辰期货", "880001", "futures-pass")
    client.connect()
    assert server.count("trade_api") == 1
    assert client._channel_key == "103"
    assert client.make_return(*client.call_rpc("query_account"))["success"] is True
    client.close()


SCRIPT = textwrap.dedent(
    """
    from zentaro.mod.kelvo.utils.platform_rpc import kl_api
    from zentaro.mod.tradeapi.sdk import gateway_link as gl

    kl_api.login("demo", "demo-pass")
    client = gl.GatewayClient("海澄", "880002", "秘密-2")
    client.connect(timeout=5)
    out = client.make_return(*client.call_rpc("query_position", {"symbol": "rb2601"}))
    print(gl.GatewayClient.qs_info_url)
    print(client.qsinfo["qsname"], client._service_type, out["success"], out["result"]["args"])
    client.close()
    """
)


def _run_script(tmp_path, srv, directory, monkeypatch):
    monkeypatch.delenv("ZENTARO_USER_ID", raising=False)  # the id comes from the stored token
    return run_child(
        SCRIPT,
        tmp_path=tmp_path,
        ZENTARO_ROOT=str(tmp_path / "root"),
        ZENTARO_INFO=str(tmp_path / "info"),
        **{**srv.client_env(), **directory.client_env()},
    )


def test_fresh_interpreter_logs_in_and_exits_without_leaks(tmp_path, server, monkeypatch):
    sim, directory = serve_all(ca=server.ca)  # the child trusts the platform's authority
    try:
        proc = _run_script(tmp_path, server, directory, monkeypatch)
        directory_url = directory.directory_url
    finally:
        directory.stop()
        sim.stop()
    assert proc.returncode == 0, proc.stderr
    assert "nanobind" not in proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == directory_url
    assert lines[1] == "海澄期货 8388608 True {'investor_key': 123400, 'symbol': 'rb2601'}"


def test_module_imports_the_shared_platform_client(gl):
    from zentaro.mod.kelvo.utils import platform_rpc

    assert gl.kl_api is platform_rpc.kl_api


def test_module_fails_to_load_without_the_platform_client():
    code = (
        "import sys; sys.modules['zentaro.mod.kelvo.utils.platform_rpc'] = None\n"
        "import zentaro.mod.tradeapi.sdk.gateway_link"
    )
    proc = run_child(code)
    assert proc.returncode != 0 and "ImportError" in proc.stderr
