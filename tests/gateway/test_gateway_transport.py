"""The shipped gateway transport: a call that does not complete closes the
session (no later call gets another call's answer), a forked child never
uses its parent's connection, and the wire is TLS with verified certificates."""

import contextlib
import os
import signal
import socket
import ssl
import threading

import pytest
import trustme

from shared.citizens import wait_for_child
from shared.timing import scaled
from zentaro.mod.tradeapi.sdk.client import GatewayError
from zentaro.support.broker_directory import site_answer


@pytest.fixture
def client(gl, gateway, platform):
    client = gl.GatewayClient("青岚期货", "880001", "futures-pass")
    client.connect(timeout=scaled(0.5))
    yield client
    client.close()


class Interrupt:
    """Ctrl-C while the call waits for its answer."""

    def __enter__(self):
        self.before = signal.signal(signal.SIGALRM, signal.default_int_handler)
        signal.setitimer(signal.ITIMER_REAL, scaled(0.2))

    def __exit__(self, *exc):
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, self.before)


@pytest.mark.parametrize(
    "mode, seconds, error",
    [
        ("slow", 1.5, TimeoutError),
        ("slow", 1.5, KeyboardInterrupt),
        ("drip", 0.05, TimeoutError),
        ("cut", 0, GatewayError),
        ("wrong-id", 0, GatewayError),
    ],
    ids=["time-out", "interrupt", "drip", "cut-mid-frame", "another-answer"],
)
def test_an_unfinished_call_closes_the_session(client, gateway, mode, seconds, error):
    gateway.fail("positions", mode, scaled(seconds))
    interrupt = Interrupt() if error is KeyboardInterrupt else contextlib.nullcontext()
    with interrupt, pytest.raises(error):
        client.call_rpc("positions")
    for _ in range(2):  # never the late answer, however often asked
        with pytest.raises(GatewayError, match="did not complete.*log in again"):
            client.call_rpc("orders")
    client.connect(timeout=scaled(0.5))
    meta, data = client.call_rpc("orders")
    assert data["method"] == "orders"


def test_a_forked_child_never_uses_the_parent_connection(client):
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            client.call_rpc("child")
        except GatewayError as exc:
            status = 0 if "parent process" in str(exc) else 2
        finally:
            os._exit(status)
    assert wait_for_child(pid) == 0
    meta, data = client.call_rpc("parent")
    assert data["method"] == "parent"


class Relay:
    """A TCP relay in front of the gateway that keeps every byte it carries."""

    def __init__(self, target):
        self.target = target
        self.seen = bytearray()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.site = {"ip": "127.0.0.1", "port": self.listener.getsockname()[1]}
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        with self.listener:
            inside, _ = self.listener.accept()
        outside = socket.create_connection(self.target)
        for a, b in ((inside, outside), (outside, inside)):
            threading.Thread(target=self._pump, args=(a, b), daemon=True).start()

    def _pump(self, source, sink):
        # The first direction to end closes both sockets; the other then fails its read.
        with source, sink, contextlib.suppress(OSError):
            while chunk := source.recv(65536):
                self.seen += chunk
                sink.sendall(chunk)


def test_a_relay_on_the_path_sees_no_password(gl, gateway, platform, directory):
    relay = Relay((gateway.host, gateway.port))
    for broker in directory.brokers:
        directory.set_sites(broker["qsid"], site_answer([relay.site]))
    client = gl.GatewayClient("青岚期货", "880001", "futures-pass")
    client.connect(timeout=scaled(2))
    assert client.call_rpc("positions")[1]["investor_id"] == "880001"
    client.close()
    assert relay.seen and client.password.encode() not in relay.seen
    assert b"trade_password" not in relay.seen and b"880001" not in relay.seen


def test_a_gateway_certificate_from_another_authority_is_refused(client, gateway, tmp_path):
    other = tmp_path / "other-ca.pem"
    trustme.CA().cert_pem.write_to_path(str(other))
    with pytest.raises(ssl.SSLCertVerificationError):
        client.connect(timeout=scaled(2), cafile=str(other))
    assert gateway.ops().count("protocol_confirm") == 1  # nothing reached it the second time
