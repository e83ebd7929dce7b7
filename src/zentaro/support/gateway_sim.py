"""A local futures gateway for tests and the demo.

It speaks the frame protocol of ``zentaro.mod.tradeapi.sdk.client`` over TLS
on 127.0.0.1 (ephemeral port), its certificate issued by a local authority
(the platform server's when given one, else its own). While it runs, the
process's ``REQUESTS_CA_BUNDLE`` trusts that authority, as the platform
server does for its own. It walks each connection through the login steps
in order: protocol confirm, protocol auth, client auth (the decrypted
authorisation code must match), client login, then ``rpc.account``/``login``,
which checks the account's DES-encrypted password. Later ``rpc.trader.futures``
calls must carry the investor key, channel key and service type of that login.
"""

import os
import shutil
import socketserver
import ssl
import tempfile
import threading
import time

from zentaro.mod.tradeapi.sdk.client import PROTOCOL_VERSION, GatewayError, encode_frame, read_frame
from zentaro.mod.tradeapi.sdk.common.encryption import EncryptionDesBase64
from zentaro.support import GATEWAY_AUTH_CODE
from zentaro.support.serving import BackgroundServer

PASSWORD_KEY = "$%^47Qkv"
BEGIN = 0x0F
STEPS = ("protocol_confirm", "protocol_auth", "client_auth", "client_login")

DEFAULT_ACCOUNTS = {
    "880001": {"password": "futures-pass", "investor_key": 10300},
    "880002": {"password": "秘密-2", "investor_key": 123400},
}

WRONG_PASSWORD = (1001, "资金账号或密码错误")
NOT_LOGGED_IN = (2001, "账号未登录或会话密钥不符")
UNKNOWN_SERVICE = (3001, "不支持的服务")


def channel_keys(investor_key):
    """(channel key, service type) that calls of this investor key must carry."""
    channel_key = str(investor_key // 100)
    return channel_key, 2 ** int(channel_key[1:3])


def _decrypt(password):
    try:
        return EncryptionDesBase64.decode(password, PASSWORD_KEY)
    except (ValueError, TypeError, UnicodeDecodeError):
        return None


class _Connection:
    """State of one client connection."""

    def __init__(self, sim):
        self.sim = sim
        self.done = 0  # number of STEPS passed
        self.user_id = None
        self.logins = {}  # investor_key -> investor_id

    def handle(self, message):
        op = message.get("op")
        if op in STEPS:
            return self._step(op, message)
        if op == "request":
            if self.done < len(STEPS):
                return _refused("login steps not completed")
            return self._request(message.get("meta") or {}, message.get("args") or {})
        return _refused(f"unknown operation {op!r}")

    def _step(self, op, message):
        if STEPS.index(op) != self.done:
            return _refused(f"{op} out of order")
        if op == "protocol_confirm" and message.get("version") != PROTOCOL_VERSION:
            return _refused("unsupported protocol version")
        if op == "client_auth" and message.get("auth_code") != self.sim.auth_code:
            return _refused("client authorisation failed")
        if op == "client_login":
            self.user_id = message.get("user_id")
        self.done += 1
        return {"status": "ok"}

    def _request(self, meta, args):
        service = (meta.get("service_name"), meta.get("method_name"))
        if service == ("rpc.account", "login"):
            return self._login(args)
        if service[0] == "rpc.trader.futures":
            return self._trade(meta, args)
        return _answer(UNKNOWN_SERVICE)

    def _login(self, args):
        login = args.get("login") or {}
        account = self.sim.accounts.get(login.get("investor_id"))
        if account is None or _decrypt(login.get("trade_password")) != account["password"]:
            return _answer(WRONG_PASSWORD)
        key = account["investor_key"]
        self.logins[key] = login["investor_id"]
        return _answer(None, {"login": {"investor_key": key, "investor_id": login["investor_id"]}})

    def _trade(self, meta, args):
        key = args.get("investor_key")
        if key not in self.logins or [meta.get("channel_key"), meta.get("service_type")] != list(
            channel_keys(key)
        ):
            return _answer(NOT_LOGGED_IN)
        return _answer(
            None,
            {
                "investor_id": self.logins[key],
                "method": meta.get("method_name"),
                "args": args,
                "stream": meta.get("stream"),
            },
        )


def _refused(reason):
    return {"status": "refused", "reason": reason}


def _answer(error, data=None):
    code, text = error or (0, "")
    return {"status": "ok", "meta": {"error_code": code, "error_text": text}, "data": data}


class _Handler(socketserver.BaseRequestHandler):
    def handle(self):
        sim = self.server.sim
        conn = _Connection(sim)
        self.request.settimeout(sim.idle_timeout)
        while True:
            try:
                message = read_frame(self.request, BEGIN)
            except (GatewayError, OSError, ValueError):
                return
            sim.record(message)
            answer = conn.handle(message)
            answer["id"] = message.get("id")
            try:
                if not _send(self.request, answer, sim.faults.get(_method(message))):
                    return
            except OSError:
                return


def _method(message):
    return (message.get("meta") or {}).get("method_name")


def _send(sock, answer, fault):
    """Sends the answer, as `fault` (mode, seconds) says; False: drop the connection."""
    mode, seconds = fault or (None, 0)
    if mode == "wrong-id":
        answer["id"] = -1
    frame = encode_frame(BEGIN, answer)
    if mode == "cut":
        sock.sendall(frame[: len(frame) // 2])
        return False
    if mode == "slow":
        time.sleep(seconds)
    if mode == "drip":
        for i in range(len(frame)):
            sock.sendall(frame[i : i + 1])
            time.sleep(seconds)
        return True
    sock.sendall(frame)
    return True


class _Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


class GatewaySimulator(BackgroundServer):
    """``with GatewaySimulator() as sim:`` serves on ``sim.host``/``sim.port``."""

    thread_name = "gateway-sim"

    def __init__(
        self,
        accounts=None,
        auth_code=GATEWAY_AUTH_CODE,
        host="127.0.0.1",
        idle_timeout=30.0,
        ca=None,
    ):
        self.accounts = {k: dict(v) for k, v in (accounts or DEFAULT_ACCOUNTS).items()}
        self.auth_code = auth_code
        self.host = host
        self.idle_timeout = idle_timeout
        self.ca = ca  # a trustme.CA; a new one when None
        self.ca_file = None
        self.messages = []
        self.faults = {}  # method name -> (mode, seconds), see `fail`
        self._lock = threading.Lock()
        self._tmpdir = None

    @property
    def port(self):
        return self._server.server_address[1]

    @property
    def site(self):
        """The site record a gateway configuration answer lists for this gateway."""
        return {"ip": self.host, "port": self.port}

    def fail(self, method_name, mode, seconds=1.0):
        """Answer calls of `method_name` badly: "slow" (`seconds` late), "drip" (one
        byte every `seconds`), "cut" (half the frame, then the connection drops)
        or "wrong-id" (the answer names another request)."""
        self.faults[method_name] = (mode, seconds)

    def record(self, message):
        with self._lock:
            self.messages.append(message)

    def ops(self):
        with self._lock:
            return [m.get("op") for m in self.messages]

    def _make_server(self):
        import trustme

        from zentaro.support.platform_server import publish

        if self.ca is None:
            self.ca = trustme.CA()
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        self.ca.issue_cert(self.host, "localhost").configure_cert(context)
        self._tmpdir = tempfile.mkdtemp(prefix="zentaro-gateway-")
        self.ca_file = os.path.join(self._tmpdir, "ca.pem")
        self.ca.cert_pem.write_to_path(self.ca_file)
        server = _Server((self.host, 0), _Handler)
        server.sim = self
        # The handshake runs in the connection's own thread, on its first read.
        server.socket = context.wrap_socket(
            server.socket, server_side=True, do_handshake_on_connect=False
        )
        publish(self)
        return server

    def stop(self):
        from zentaro.support.platform_server import withdraw

        running = self._server is not None
        super().stop()
        if running:
            withdraw(self)
        if self._tmpdir:
            shutil.rmtree(self._tmpdir, ignore_errors=True)
            self._tmpdir = None


def serve_all(directory=None, ca=None):
    """Start a simulator listed as the only site of every directory broker,
    its certificate issued by `ca` (a trustme.CA; its own when None).

    Returns (simulator, directory server), both running; the caller stops them.
    """
    from zentaro.support.broker_directory import BrokerDirectoryServer, site_answer

    sim = GatewaySimulator(ca=ca).start()
    directory = (directory or BrokerDirectoryServer()).start()
    for broker in directory.brokers:
        directory.set_sites(broker["qsid"], site_answer([sim.site]))
    return sim, directory


def main(argv=None):
    """Run both services in the foreground: prints their environment, stops on Ctrl-C or SIGTERM."""
    import argparse
    import sys

    from zentaro.support.serving import Stopped, stop_on_sigterm, wait_for_stop

    parser = argparse.ArgumentParser(
        prog="python -m zentaro.support.gateway_sim",
        description="A local futures gateway and its broker directory on 127.0.0.1.",
    )
    parser.parse_args(argv)
    stop_on_sigterm()
    sim = directory = None
    try:
        sim, directory = serve_all()
        env = {**directory.client_env(), "REQUESTS_CA_BUNDLE": sim.ca_file}
        for key, value in env.items():
            print(f"export {key}={value}", flush=True)
        for account, record in sim.accounts.items():
            print("# account {} password {}".format(account, record["password"]), flush=True)
        sys.stdout.flush()
        wait_for_stop()
    except (KeyboardInterrupt, Stopped):
        pass
    finally:
        for service in (directory, sim):
            if service is not None:
                service.stop()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
