"""The platform client against a server that fails in every way it can, and
with token and notice files that cannot be written: each time the documented
error, and the stored token is neither corrupted nor lost."""

import errno
import os
import pickle
import socket
import struct
import textwrap
import threading

import pytest
import requests

from zentaro.utils.exception import APIException

OLD = "10086.previous-token"


def read(path):
    with open(path) as f:
        return f.read()


@pytest.fixture
def client(platform, rpc, tmp_path):
    """A client logged in on the server, its files in a folder of its own."""
    c = platform.client()
    c._token_file = str(tmp_path / "auth")
    c._notice_file = str(tmp_path / "notice")
    c.login("demo", "demo-pass")
    return c


def leftovers(path):
    return sorted(n for n in os.listdir(os.path.dirname(path)) if n not in ("auth", "notice"))


@pytest.mark.parametrize(
    "mode, opts, error",
    [
        ("status", {"status": 500, "text": "服务错误: 内部"}, APIException),
        ("status", {"status": 503, "text": ""}, APIException),
        ("garbage", {"body": b"\x00 not a pickle"}, pickle.UnpicklingError),
        ("garbage", {"body": pickle.dumps(b"not zlib")}, Exception),
        ("drop", {}, requests.exceptions.ConnectionError),
        ("truncate", {}, requests.exceptions.RequestException),
    ],
)
def test_service_faults_raise_the_documented_error(client, platform, fault, mode, opts, error):
    token_before = read(client._token_file)
    fault(platform, "instruments", mode, **opts)
    with pytest.raises(error) as info:
        client.instruments()
    if mode == "status":
        assert str(info.value) == opts["text"]
    assert platform.count("instruments") == 1  # only read time-outs are retried
    assert read(client._token_file) == token_before
    platform.clear_faults()
    assert len(client.instruments()) > 100  # the next call works


@pytest.mark.parametrize("times, outcome", [(1, "answer"), (2, "time-out")])
def test_slow_answers_are_retried_once(client, platform, fault, times, outcome):
    fault(platform, "trading_dates", "slow", delay=2.0, times=times)
    if outcome == "answer":
        assert client.trading_dates(start_date="2024-01-01", end_date="2024-01-05", _timeout=0.7)
    else:
        with pytest.raises(requests.exceptions.ReadTimeout):
            client.trading_dates(start_date="2024-01-01", end_date="2024-01-05", _timeout=0.7)
    assert platform.count("trading_dates") == 2


class ResettingServer:
    """Accepts connections and resets each one at once (RST, no answer)."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen()
        self.url = f"http://127.0.0.1:{self.sock.getsockname()[1]}/sdk/"
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            conn.recv(65536)
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            conn.close()

    def close(self):
        self.sock.close()


def test_reset_connections_raise_a_connection_error(rpc, tmp_path, monkeypatch):
    resetting = ResettingServer()
    try:
        c = rpc.APIClient(base_url=resetting.url)
        c._token_file = str(tmp_path / "auth")
        with open(c._token_file, "w") as f:
            f.write(OLD)
        c._refresh_token = OLD
        with pytest.raises(requests.exceptions.ConnectionError):
            c.login("demo", "demo-pass")
        with pytest.raises(requests.exceptions.ConnectionError):
            c._get_token()
        assert read(c._token_file) == OLD and c._refresh_token == OLD
    finally:
        resetting.close()


@pytest.mark.parametrize(
    "mode, opts",
    [
        ("status", {"status": 500, "text": "down"}),
        ("garbage", {"body": b"{not json"}),
        ("drop", {}),
        ("truncate", {}),
    ],
)
def test_login_and_refresh_faults_keep_the_stored_token(client, platform, fault, mode, opts):
    token = client._refresh_token
    fault(platform, "login", mode, **opts)
    with pytest.raises(Exception) as info:  # noqa: B017  (each mode fails in its own library)
        client.login("demo", "demo-pass")
    assert not isinstance(info.value, APIException)
    with pytest.raises(Exception):  # noqa: B017
        client._get_token()
    assert read(client._token_file) == token and client._refresh_token == token
    assert leftovers(client._token_file) == []
    platform.clear_faults()
    assert client._get_token().startswith("10086.")  # a failed refresh cached nothing


class FailingOs:
    """The module's `os`, with one function failing like a full disk."""

    def __init__(self, real, failing):
        self._real = real
        self._failing = failing

    def __getattr__(self, name):
        if name == self._failing:

            def fail(*args, **kwargs):
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

            return fail
        return getattr(self._real, name)


class FullDiskFile:
    """A text file whose writes fail like a full disk; the rest is the real file."""

    def __init__(self, fd, mode="r"):
        self._file = open(fd, mode)

    def write(self, text):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    def __getattr__(self, name):
        return getattr(self._file, name)


@pytest.mark.parametrize("failing", ["write", "fsync"])
def test_a_token_write_that_fails_keeps_the_old_token_file(client, rpc, monkeypatch, failing):
    token = read(client._token_file)
    if failing == "write":
        monkeypatch.setattr(rpc, "open", FullDiskFile, raising=False)
    else:
        monkeypatch.setattr(rpc, "os", FailingOs(os, failing))
    with pytest.raises(OSError) as info:
        client.login("alice", "alice-pass")
    assert info.value.errno == errno.ENOSPC
    monkeypatch.undo()
    assert read(client._token_file) == token
    assert leftovers(client._token_file) == []


def test_full_disk_keeps_the_old_token_file(platform, rpc, tmp_path, disk):
    with disk(tmp_path / "root", size="16k") as root:
        c = platform.client()
        c._token_file = str(root / "auth")
        c._notice_file = str(root / "notice")
        c.login("demo", "demo-pass")
        token = read(c._token_file)
        with open(root / "filler", "wb") as f:
            with pytest.raises(OSError):
                f.write(b"x" * (64 << 10))
                f.flush()
        with pytest.raises(OSError) as info:
            c.login("alice", "alice-pass")
        assert info.value.errno == errno.ENOSPC
        assert read(c._token_file) == token
        assert sorted(os.listdir(root)) == ["auth", "filler"]  # no temporary file left


def test_read_only_root_keeps_the_old_files(platform, rpc, tmp_path, disk, read_only):
    with disk(tmp_path / "root") as root:
        c = platform.client()
        c._token_file = str(root / "auth")
        c._notice_file = str(root / "notice")
        platform.notice = "旧通知"
        c.login("demo", "demo-pass")
        token = read(c._token_file)
        read_only(root)
        platform.notice = "新通知"
        with pytest.raises(OSError) as info:
            c.login("alice", "alice-pass")
        assert info.value.errno == errno.EROFS
        with pytest.raises(OSError):  # a refresh that carries a notice cannot store it either
            c._get_token()
        with pytest.raises(OSError):
            c.logout()
        assert read(c._token_file) == token and read(c._notice_file) == "旧通知"


def test_notice_file_that_cannot_be_written(platform, rpc, tmp_path):
    c = platform.client()
    c._token_file = str(tmp_path / "auth")
    c._notice_file = str(tmp_path / "notice")
    os.mkdir(c._notice_file)  # a folder where the file should be
    platform.notice = "维护通知"
    with pytest.raises(IsADirectoryError):
        c.login("demo", "demo-pass")
    assert read(c._token_file).startswith("10086.")  # written before the notice, as it must be
    platform.notice = None
    assert c._get_token().startswith("10086.")


KILLED_WRITER = textwrap.dedent("""
    import os, signal, sys
    from zentaro.mod.kelvo.utils import platform_rpc as rpc

    class Dying:
        def __getattr__(self, name):
            if name == "fsync":  # half way: the temporary file is written, not yet renamed
                return lambda fd: os.kill(os.getpid(), signal.SIGKILL)
            return getattr(os, name)

    c = rpc.APIClient(base_url=sys.argv[1])
    c._token_file = sys.argv[2]
    rpc.os = Dying()
    c.login("alice", "alice-pass")
""")


def test_a_process_killed_while_writing_the_token_leaves_the_old_one(
    platform, rpc, tmp_path, run_child
):
    path = tmp_path / "auth"
    path.write_text(OLD)
    code = KILLED_WRITER.replace("sys.argv[1]", repr(platform.url)).replace(
        "sys.argv[2]", repr(str(path))
    )
    child = run_child(code, **platform.client_env())
    assert child.returncode == -9, child.stderr
    assert path.read_text() == OLD
    stray = [n for n in os.listdir(tmp_path) if n != "auth"]
    assert all(n.endswith(".tmp") for n in stray)  # a temporary file at most, never a torn token
