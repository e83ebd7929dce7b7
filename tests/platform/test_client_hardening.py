"""The platform client under threads, forks, exits, hostile files and plain
HTTP: one test per fault."""

import logging
import os
import stat
import textwrap
import threading

import pytest

from shared import children
from shared.citizens import wait_for_child


def run_child(code, tmp_path, timeout=60):
    return children.run_child(
        textwrap.dedent(code),
        timeout=timeout,
        PYTHONUTF8="1",
        ZENTARO_ROOT=str(tmp_path / "root"),
        ZENTARO_INFO=str(tmp_path / "info"),
    )


def test_exit_with_daemon_threads_inside_a_call(tmp_path):
    code = """
        import threading, time
        from zentaro.mod.kelvo.utils import platform_rpc as p

        class Path:  # the kit's call runs this Python code
            def __radd__(self, base):
                sum(range(200))
                return base + "x"

        def busy():
            while True:
                p.kl_api._compose_url(Path())

        for _ in range(6):
            threading.Thread(target=busy, daemon=True).start()
        time.sleep(0.2)
    """
    codes = [run_child(code, tmp_path).returncode for _ in range(3)]
    assert codes == [0, 0, 0]


def _blocking_refresh(server):
    """Holds the first refresh answer until released; answers everything else."""
    arrived, release = threading.Event(), threading.Event()

    def answer(body):
        if body["action"] == "refresh":
            if not release.is_set():
                arrived.set()
                release.wait(10)
            return server._refresh(body["passport"])
        return server._password_login(body["passport"])

    server.set_answer("login", answer)
    return arrived, release


def test_a_refresh_that_began_before_a_login_never_undoes_it(server, client):
    client.login("bob", "bob-pass")
    arrived, release = _blocking_refresh(server)
    worker = threading.Thread(target=client._get_token)
    worker.start()
    assert arrived.wait(10)
    client.login("alice", "alice-pass")
    release.set()
    worker.join(10)
    assert client._refresh_token.startswith("20001.")
    assert client._get_token().startswith("20001.")
    assert client.api_usage()["user_id"] == "20001"


def test_a_child_forked_during_a_refresh_gets_a_token(server, logged_in):
    arrived, release = _blocking_refresh(server)
    worker = threading.Thread(target=logged_in._get_token)
    worker.start()
    assert arrived.wait(10)
    pid = os.fork()
    if pid == 0:  # the child: the parent's refresh is in flight forever here
        status = 1
        try:
            status = 0 if logged_in._get_token().startswith("10086.") else 1
        finally:
            os._exit(status)
    release.set()
    worker.join(10)
    assert wait_for_child(pid) == 0


class NothingSent:
    """The module's `requests`: nothing may get this far."""

    def __getattr__(self, name):
        raise AssertionError(f"requests.{name} reached")


@pytest.mark.parametrize(
    "url",
    [
        "http://example.com/sdk/",
        "http://127.0.0.1.example.com/sdk/",
        "http://[::2]/sdk/",
        "HTTP://10.0.0.1/sdk/",
        "ftp://example.com/sdk/",
    ],
)
def test_plain_http_to_another_host_is_refused(rpc, monkeypatch, url):
    monkeypatch.setattr(rpc, "requests", NothingSent())
    client = rpc.APIClient(base_url=url)
    with pytest.raises(ValueError, match="only https"):
        client.login("demo", "demo-pass")
    client._refresh_token = "10086.t"
    with pytest.raises(ValueError, match="only https"):
        client._get_token()

    class Cached(rpc.APIClient):
        def _get_token(self):
            return "10086.t"

    with pytest.raises(ValueError, match="only https"):
        Cached(base_url=url).instruments()


@pytest.mark.parametrize("host", ["127.0.0.2", "[::1]", "localhost"])
def test_plain_http_to_this_machine_is_allowed(rpc, host):
    client = rpc.APIClient(base_url=f"http://{host}:1/sdk/")
    with pytest.raises(rpc.requests.exceptions.ConnectionError):
        client.login("demo", "demo-pass")


@pytest.mark.parametrize("name", ["_token_file", "_notice_file"])
def test_files_are_never_written_through_a_planted_link(server, client, tmp_path, name):
    victim = tmp_path / "victim"
    victim.write_text("untouched")
    os.symlink(victim, getattr(client, name))
    server.notice = "维护通知"
    client.login("demo", "demo-pass")
    assert victim.read_text() == "untouched"
    path = getattr(client, name)
    assert not os.path.islink(path) and stat.S_IMODE(os.stat(path).st_mode) == 0o600


BAD_TOKEN_PATHS = {
    "directory": "os.mkdir(path)",
    "fifo": "os.mkfifo(path)",
    "not utf-8": "open(path, 'wb').write(b'10086.\\xff\\xfe')",
}


@pytest.mark.parametrize("kind", BAD_TOKEN_PATHS)
def test_an_unusable_token_file_counts_as_no_login(tmp_path, kind):
    code = f"""
        import logging, os
        logging.basicConfig(level=logging.WARNING, format="%(name)s %(message)s")
        path = os.path.join(os.environ["ZENTARO_ROOT"], "auth")
        os.makedirs(os.environ["ZENTARO_ROOT"])
        {BAD_TOKEN_PATHS[kind]}
        from zentaro.mod.kelvo.utils.platform_rpc import kl_api
        print(repr(kl_api._refresh_token))
    """
    child = run_child(code, tmp_path, timeout=30)
    assert (child.returncode, child.stdout) == (0, "None\n"), child.stderr
    assert child.stderr.startswith("zentaro.system ") and "auth" in child.stderr
    assert "\ufffd" not in child.stderr and "10086" not in child.stderr


# ----- None where the Python module takes it


def test_none_arguments(server, client, rpc, caplog):
    from zentaro.utils.exception import APIException

    with pytest.raises(APIException, match="未登录"):  # the login check comes first
        client.instruments(_headers=None)
    with pytest.raises(APIException):  # the server refuses, as for any wrong name
        client.login(None, None)
    assert rpc.APIClient(encoding=None).encoding is None
    client.login("demo", "demo-pass")
    assert len(client.instruments(_timeout=None)) == 300
    with pytest.raises(TypeError, match="not a mapping"):
        client.instruments(_headers=None)
    with pytest.raises(AttributeError, match="upper"):
        client._request(_method=None)
    with pytest.raises(AttributeError, match="status_code"):
        client._handle_response(None)
    assert not [r for r in caplog.records if r.levelno >= logging.WARNING]
