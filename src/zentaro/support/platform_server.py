"""The embedded platform server: login, token refresh and the twelve services.

It listens on 127.0.0.1 on an ephemeral port, over TLS with a certificate
authority generated on the spot (so the client keeps verifying certificates,
as against the real server), or over plain HTTP. Tests use it to watch what
the client sends and to make it answer badly on request.
"""

import base64
import copy
import io
import json
import os
import pickle
import secrets
import shutil
import ssl
import sys
import tempfile
import threading
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import msgpack

from zentaro.support import platform_data
from zentaro.support.sql_tables import SQLError

DEFAULT_USERS = {
    "demo": {"password": "demo-pass", "user_id": "10086"},
    "alice": {"password": "alice-pass", "user_id": "20001"},
    "bob": {"password": "bob-pass", "user_id": "20002"},
    # An account the server knows but refuses, with its reason as `data`.
    "frozen": {"password": "frozen-pass", "user_id": "20003", "refused": "账号已冻结"},
}

FAULT_MODES = ("status", "garbage", "slow", "drop", "truncate")

# What a request body may unpickle into: plain values and dates, no callables.
_SAFE_GLOBALS = {
    ("datetime", "datetime"),
    ("datetime", "date"),
    ("datetime", "time"),
    ("datetime", "timedelta"),
    ("collections", "OrderedDict"),
    ("builtins", "set"),
    ("builtins", "frozenset"),
    ("builtins", "bytearray"),
    ("builtins", "complex"),
    ("_codecs", "encode"),
}


class _SafeUnpickler(pickle.Unpickler):
    def find_class(self, module, name):
        if (module, name) in _SAFE_GLOBALS:
            return super().find_class(module, name)
        raise pickle.UnpicklingError(f"refused global {module}.{name}")


def safe_loads(data):
    return _SafeUnpickler(io.BytesIO(data)).load()


def encode_answer(value):
    """The wire form of a service answer: pickle(zlib(msgpack or pickle))."""
    try:
        payload = msgpack.packb(value)
    except (TypeError, ValueError, OverflowError):
        payload = pickle.dumps(value)
    return pickle.dumps(zlib.compress(payload))


def service_path(name):
    """Accept "instruments", "api/sdk_instruments" or "/sdk/api/sdk_instruments"."""
    name = name.lstrip("/")
    if name.startswith("sdk/"):
        name = name[4:]
    if name == "login" or name.startswith("api/sdk_"):
        return name
    return "api/sdk_" + name


# The environment that requests reads, shared by every running server: while
# any runs, REQUESTS_CA_BUNDLE names a bundle of all their authorities (plus
# the one configured before), so several servers can be used side by side.
_ENV_KEYS = ("REQUESTS_CA_BUNDLE", "NO_PROXY", "no_proxy")
_ENV_LOCK = threading.Lock()
_LIVE = []
_SAVED_ENV = {}


def _publish_env():
    if not _LIVE:
        for key, value in _SAVED_ENV.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value
        return
    # Loopback traffic must never go through a proxy taken from the environment.
    hosts = sorted({srv.host for srv in _LIVE})
    before = _SAVED_ENV.get("NO_PROXY") or _SAVED_ENV.get("no_proxy")
    os.environ["NO_PROXY"] = os.environ["no_proxy"] = ",".join(filter(None, [before, *hosts]))
    with_tls = [srv for srv in _LIVE if srv.ca_file]
    previous = _SAVED_ENV.get("REQUESTS_CA_BUNDLE")
    if not with_tls:
        if previous is None:
            os.environ.pop("REQUESTS_CA_BUNDLE", None)
        else:
            os.environ["REQUESTS_CA_BUNDLE"] = previous
        return
    authorities = [srv.ca_file for srv in with_tls]
    if previous and os.path.isfile(previous):
        authorities.append(previous)
    bundle = os.path.join(os.path.dirname(with_tls[-1].ca_file), "bundle.pem")
    with open(bundle, "w") as out:
        for path in authorities:
            with open(path) as f:
                out.write(f.read())
    os.environ["REQUESTS_CA_BUNDLE"] = bundle


def publish(service):
    """While `service` runs, the environment trusts its authority (`ca_file`, or
    None) and reaches its `host` without a proxy; `withdraw` ends that."""
    with _ENV_LOCK:
        if not _LIVE:
            _SAVED_ENV.update({k: os.environ.get(k) for k in _ENV_KEYS})
        _LIVE.append(service)
        _publish_env()


def withdraw(service):
    with _ENV_LOCK:
        _LIVE.remove(service)
        _publish_env()


class PlatformServer:
    """See the module doc; usable as a context manager."""

    def __init__(self, tls=True, users=None, host="127.0.0.1"):
        self.tls = tls
        self.host = host
        self.users = copy.deepcopy(DEFAULT_USERS if users is None else users)
        self.notice = None  # sent as data.notice with every successful login and refresh
        self.calls = []
        self.login_requests = []
        self.files = {}
        self._tokens = {}  # token -> user_id
        self._answers = {}
        self._faults = {}
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._httpd = None
        self._thread = None
        self._tmpdir = None
        self.ca = None  # the certificate authority, shared with the gateway simulator
        self.ca_file = None
        self.url = None

    # ----- life cycle
    def start(self):
        self._httpd = ThreadingHTTPServer((self.host, 0), _Handler)
        self._httpd.daemon_threads = True
        self._httpd.platform = self
        if self.tls:
            self._tmpdir = tempfile.mkdtemp(prefix="zentaro-platform-")
            self._httpd.socket = self._tls_context().wrap_socket(
                self._httpd.socket, server_side=True, do_handshake_on_connect=False
            )
        port = self._httpd.server_address[1]
        scheme = "https" if self.tls else "http"
        self.url = f"{scheme}://{self.host}:{port}/sdk/"
        self._set_env()
        self._thread = threading.Thread(
            target=self._httpd.serve_forever, name="platform-server", daemon=True
        )
        self._thread.start()
        return self

    def _tls_context(self):
        import trustme

        self.ca = ca = trustme.CA()
        cert = ca.issue_cert(self.host, "localhost")
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        cert.configure_cert(ctx)
        self.ca_file = os.path.join(self._tmpdir, "ca.pem")
        ca.cert_pem.write_to_path(self.ca_file)
        return ctx

    def _set_env(self):
        publish(self)

    def stop(self):
        if self._httpd is None:
            return
        self._stopping.set()
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(5)
        self._httpd = None
        withdraw(self)
        if self._tmpdir:
            shutil.rmtree(self._tmpdir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    # ----- helpers for tests and the demo
    def client_env(self):
        env = {"ZENTARO_URL": self.url, "NO_PROXY": self.host}
        if self.ca_file:
            env["REQUESTS_CA_BUNDLE"] = self.ca_file
        return env

    def client(self, **kw):
        from zentaro.mod.kelvo.utils.platform_rpc import APIClient

        return APIClient(base_url=self.url, **kw)

    def issue_token(self, username="demo"):
        """A valid token for `username`, as a login would give it (no traffic)."""
        return self._new_token(self.users[username]["user_id"])

    def count(self, path):
        path = service_path(path)
        with self._lock:
            return sum(1 for p, _, _ in self.calls if p == path)

    def set_answer(self, path, fn):
        """fn(kwargs, user_id) -> value. For "login", fn(body) -> the JSON answer dict."""
        with self._lock:
            self._answers[service_path(path)] = fn

    def inject(self, path, mode, **opts):
        """Answer `path` badly: status/garbage/slow/drop/truncate, for the first
        `times` requests (all of them when `times` is not given)."""
        if mode not in FAULT_MODES:
            raise ValueError(f"unknown fault mode {mode!r}")
        with self._lock:
            self._faults[service_path(path)] = dict(opts, mode=mode)

    def clear_faults(self):
        with self._lock:
            self._faults.clear()

    # ----- used by the handler
    def _new_token(self, user_id):
        token = f"{user_id}.{secrets.token_hex(16)}"
        with self._lock:
            self._tokens[token] = user_id
        return token

    def _take_fault(self, path):
        with self._lock:
            fault = self._faults.get(path)
            if fault is None:
                return None
            times = fault.get("times")
            if times is not None:
                if times <= 0:
                    return None
                fault["times"] = times - 1
            return dict(fault)

    def _wait(self, seconds):
        self._stopping.wait(seconds)

    def _login(self, body):
        action = body.get("action") if isinstance(body, dict) else None
        passport = body.get("passport") if isinstance(body, dict) else None
        with self._lock:
            self.login_requests.append((action, passport))
            custom = self._answers.get("login")
        if custom is not None:
            return custom(body)
        if action == "login":
            return self._password_login(passport)
        if action == "refresh":
            return self._refresh(passport)
        return _refusal(400, "未知操作")

    def _password_login(self, passport):
        try:
            username, password = safe_loads(base64.b64decode(passport, validate=True))
        except Exception:
            return _refusal(400, "登录信息无法解析")
        user = self.users.get(username)
        if user is None or user.get("password") != password:
            return _refusal(401, "用户名或密码错误")
        if user.get("refused"):
            return _refusal(403, "登录被拒绝", data=user["refused"])
        return _granted(self._new_token(user["user_id"]), self.notice)

    def _refresh(self, token):
        with self._lock:
            user_id = self._tokens.get(token) if isinstance(token, str) else None
        if user_id is None:
            return _refusal(401, "令牌无效")
        return _granted(self._new_token(user_id), self.notice)

    def _user_of(self, headers):
        auth = headers.get("Authorization", "")
        token = auth[len("Bearer ") :] if auth.startswith("Bearer ") else None
        with self._lock:
            return self._tokens.get(token)

    def _service(self, path, kwargs, headers, user_id):
        with self._lock:
            custom = self._answers.get(path)
        if custom is not None:
            return custom(kwargs, user_id)
        name = path[len("api/sdk_") :]
        builtin = getattr(self, "_svc_" + name, None)
        if builtin is None:
            raise LookupError(name)
        return builtin(kwargs, user_id, headers)

    # ----- the built-in services
    def _svc_instruments(self, kw, user_id, headers):
        ids = kw.get("order_book_ids")
        if ids:
            wanted = {ids} if isinstance(ids, str) else set(ids)
            return [r for r in platform_data.INSTRUMENTS if r["order_book_id"] in wanted]
        return platform_data.INSTRUMENTS

    def _svc_trading_dates(self, kw, user_id, headers):
        return platform_data.trading_dates(**kw)

    def _svc_get_fundamentals(self, kw, user_id, headers):
        return platform_data.fundamentals(**kw)

    def _svc_side_store(self, kw, user_id, headers):
        return platform_data.side_store(**kw)

    def _svc_trade_api(self, kw, user_id, headers):
        if kw.get("atype") == "futures":
            version = headers.get("x-consumer-sdk-version", "")
            return platform_data.futures_authorisation(user_id, version)
        return {"atype": kw.get("atype"), "data": None, "exp": None}

    def _svc_api_usage(self, kw, user_id, headers):
        with self._lock:
            used = sum(1 for _, _, h in self.calls if self._tokens.get(_bearer(h)) == user_id)
        return {"user_id": user_id, "used": used, "limit": 100000}

    def _svc_all_api(self, kw, user_id, headers):
        return list(platform_data.SERVICE_NAMES)

    def _svc_run_api(self, kw, user_id, headers):
        return {"api_name": kw.get("api_name"), "status": "finished", "args": sorted(kw)}

    def _svc_arsenal_request(self, kw, user_id, headers):
        return {"ok": True, "received": sorted(kw)}

    def _svc_data_array(self, kw, user_id, headers):
        return platform_data.data_array(**kw)

    def _svc_upload_file(self, kw, user_id, headers):
        name = str(kw.get("file_name", "upload.bin"))
        content = kw.get("content", b"")
        with self._lock:
            self.files[name] = content
        return {"file_name": name, "size": len(content)}

    def _svc_download_file(self, kw, user_id, headers):
        with self._lock:
            return self.files.get(str(kw.get("file_name")), b"")


def _bearer(headers):
    auth = headers.get("Authorization", "")
    return auth[len("Bearer ") :] if auth.startswith("Bearer ") else None


def _granted(token, notice):
    return {"meta": {"code": 200, "message": "success"}, "data": {"token": token, "notice": notice}}


def _refusal(code, message, data=None):
    return {"meta": {"code": code, "message": message}, "data": data}


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "zentaro-platform/1.0"

    def log_message(self, *args):
        pass  # tests read srv.calls instead of a log

    def do_POST(self):
        platform = self.server.platform
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        if not self.path.startswith("/sdk/"):
            return self._send(404, b"no such path")
        path = self.path[len("/sdk/") :]
        if path == "login":
            return self._answer_login(platform, body)
        if not path.startswith("api/sdk_"):
            return self._send(404, ("未知路径: " + path).encode("utf-8"))
        return self._answer_service(platform, path, body)

    def _answer_login(self, platform, body):
        try:
            request = json.loads(body.decode("utf-8"))
        except ValueError:
            request = None
        if self._apply_fault(platform, "login"):
            return
        answer = platform._login(request)
        self._send(
            200,
            json.dumps(answer, ensure_ascii=False).encode("utf-8"),
            "application/json; charset=utf-8",
        )

    def _answer_service(self, platform, path, body):
        headers = dict(self.headers.items())
        try:
            kwargs = safe_loads(body)
        except Exception:
            kwargs = None
        with platform._lock:
            platform.calls.append((path, kwargs, headers))
        if self._apply_fault(platform, path):
            return
        if not isinstance(kwargs, dict):
            return self._send(400, "请求参数无法解析".encode())
        user_id = platform._user_of(headers)
        if user_id is None:
            return self._send(401, "认证失败, 请重新登录".encode())
        try:
            value = platform._service(path, kwargs, headers, user_id)
        except LookupError:
            return self._send(404, ("未知服务: " + path).encode("utf-8"))
        except SQLError as exc:  # refused like a database refuses: the reason, no result
            return self._send(400, f"SQL 执行失败: {exc}".encode())
        except Exception as exc:  # the server reports its own faults as a 500 text
            return self._send(500, (f"服务错误: {exc!r}").encode())
        self._send(200, encode_answer(value), "application/octet-stream")

    def _apply_fault(self, platform, path):
        """Carry out an injected fault; True when the answer has been dealt with."""
        fault = platform._take_fault(path)
        if fault is None:
            return False
        mode = fault["mode"]
        if mode == "slow":
            platform._wait(fault.get("delay", 1.0))
            return False  # then answer normally (the client has usually gone)
        if mode == "status":
            self._send(fault.get("status", 500), fault.get("text", "").encode("utf-8"))
        elif mode == "garbage":
            size = fault.get("size", 256)
            self._send(200, fault.get("body") or os.urandom(size), "application/octet-stream")
        elif mode == "drop":
            self.close_connection = True
        elif mode == "truncate":
            body = encode_answer(platform_data.INSTRUMENTS)
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
            self.close_connection = True
        return True

    def _send(self, status, body, content_type="text/plain; charset=utf-8"):
        try:
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            self.close_connection = True  # the client gave up (e.g. after its time-out)


def main(argv=None):
    """Run a server in the foreground: prints its environment, stops on Ctrl-C or SIGTERM."""
    import argparse

    from zentaro.support.serving import Stopped, stop_on_sigterm, wait_for_stop

    parser = argparse.ArgumentParser(
        prog="python -m zentaro.support.platform_server", description=__doc__.splitlines()[0]
    )
    parser.add_argument("--plain", action="store_true", help="plain HTTP instead of TLS")
    args = parser.parse_args(argv)
    stop_on_sigterm()
    try:
        with PlatformServer(tls=not args.plain) as srv:
            for key, value in srv.client_env().items():
                print(f"export {key}={value}", flush=True)
            wait_for_stop()
    except (KeyboardInterrupt, Stopped):
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
