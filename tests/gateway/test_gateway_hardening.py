"""The gateway client under threads, forks, exits and plain HTTP: one test
per fault."""

import os
import textwrap
import threading

import pytest

from shared.children import run_child
from shared.citizens import wait_for_child
from zentaro.mod.tradeapi.sdk import client as host_client

EXIT_WHILE_BUSY = """
    import threading, time
    from zentaro.mod.tradeapi.sdk import gateway_link as gl

    class Meta:  # the kit's call runs this Python code
        error_code = 0

        @property
        def error_text(self):
            sum(range(200))
            return b""

    client = gl.GatewayClient("b", "a", "p")
    client.call_rpc_json = lambda *args, **kwargs: sum(range(200))

    def busy(call):
        while True:
            call()

    for call in [lambda: client.make_return(Meta(), None), lambda: client.call_rpc("m")] * 3:
        threading.Thread(target=busy, args=(call,), daemon=True).start()
    time.sleep(0.2)
"""


def test_exit_with_daemon_threads_inside_a_call(tmp_path):
    script = textwrap.dedent(EXIT_WHILE_BUSY)
    codes = [run_child(script, ZENTARO_ROOT=str(tmp_path)).returncode for _ in range(3)]
    assert codes == [0, 0, 0]


def test_threads_sharing_a_session_get_their_own_answers(gl, gateway, platform):
    client = gl.GatewayClient("青岚期货", "880001", "futures-pass")
    client.connect(timeout=10)
    wrong, errors = [], []

    def worker(n):
        for i in range(60):
            tag = [n, i]
            try:
                if i % 10 == 9:  # a call that fails before anything is sent
                    client.call_rpc("bad", {"tag": object()})
                meta, data = client.call_rpc("echo", {"tag": tag})
                if meta.error_code or data["args"]["tag"] != tag:
                    wrong.append((tag, meta, data))
            except TypeError:
                pass
            except Exception as exc:  # noqa: BLE001  (a broken stream shows here)
                errors.append(exc)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert (wrong, errors) == ([], [])
    meta, data = client.call_rpc("after", {"tag": "last"})
    assert data["args"]["tag"] == "last" and data["method"] == "after"
    client.close()


def test_a_child_forked_during_a_call_can_call(gl, platform):
    client = gl.GatewayClient("b", "a", "p")
    inside, release = threading.Event(), threading.Event()

    def send(*args, **kwargs):
        if not release.is_set():
            inside.set()
            release.wait(10)
        return "answer"

    client.call_rpc_json = send
    worker = threading.Thread(target=client.call_rpc, args=("slow",))
    worker.start()
    assert inside.wait(10)
    pid = os.fork()
    if pid == 0:  # the parent's call holds the session here forever
        status = 1
        try:
            release.set()
            status = 0 if client.call_rpc("m") == "answer" else 1
        finally:
            os._exit(status)
    release.set()
    worker.join(10)
    assert wait_for_child(pid) == 0


@pytest.mark.parametrize("attribute", ["qs_info_url", "qs_site_url"])
def test_a_directory_over_plain_http_is_refused(gl, monkeypatch, attribute):
    class NothingSent:
        def __getattr__(self, name):
            raise AssertionError(f"requests.{name} reached")

    monkeypatch.setattr(gl, "requests", NothingSent())
    monkeypatch.setattr(gl.GatewayClient, attribute, "http://directory.example.com/x?{}")
    fetch = (
        gl.GatewayClient.get_qs_info if attribute == "qs_info_url" else gl.GatewayClient.get_qs_site
    )
    with pytest.raises(ValueError, match="only https"):
        fetch(*([] if attribute == "qs_info_url" else ["1001"]))


# ----- None where the Python module takes it


def test_none_arguments(gl, directory, platform):
    client = gl.GatewayClient("b", None, "pw")
    assert client.account_id is None
    meta = host_client.GatewayMeta(0, b"")
    assert client.make_return(meta, None) == {"success": True, "msg": "", "result": None}
    sent = []
    client.call_rpc_json = lambda *args, **kwargs: sent.append((args, kwargs))
    client.call_rpc("m", {}, None)
    client.call_rpc("m", service_name=None)
    assert [a[0] for a, _ in sent] == ["rpc.trader.futures", None]
    assert sent[0][1]["stream"] is None
    with pytest.raises(TypeError, match="'NoneType' object is not a mapping"):
        client.call_rpc("m", None)
    with pytest.raises(ValueError, match="该券商无可用站点"):
        gl.GatewayClient.get_qs_site(None)
    assert directory.requests[-1].endswith("qsidList=None")
