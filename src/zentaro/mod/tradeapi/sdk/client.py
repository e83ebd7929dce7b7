"""Host layer: the futures gateway transport (a deployment replaces this module).

``GatewaySession`` is one TLS connection to a gateway site; ``GatewayClient`` is
the base of the kit's gateway client and sends RPC calls on the session it holds.

Wire format, both directions: one frame per message, made of the session's
``begin`` byte, the body length as 4 bytes big-endian, and the body, a UTF-8
JSON object. Every request carries ``op`` and ``id``; every answer carries the
``id`` of its request and ``status`` ("ok" or "refused", with ``reason``).

The gateway's certificate is verified against ``cafile`` when given, else
``REQUESTS_CA_BUNDLE`` (the authorities the kit trusts for HTTPS), else the
``certifi`` roots. A call that does not complete (time-out, interrupt, broken
frame) closes the session: the stream can no longer be trusted to pair answers
with requests, so every later call fails at once until the client logs in
again. A forked child never uses its parent's connection.
"""

import json
import os
import socket
import ssl
import struct
import threading
import time

PROTOCOL_VERSION = 1
MAX_FRAME = 16 * 1024 * 1024
_HEADER = struct.Struct(">BI")


class GatewayError(ConnectionError):
    """The gateway refused a step or broke the protocol."""


class GatewayMeta:
    """Meta part of a ``request_json`` answer: ``error_code`` (0 on success) and
    ``error_text`` (UTF-8 bytes)."""

    def __init__(self, error_code=0, error_text=b""):
        self.error_code = error_code
        self.error_text = error_text

    def __repr__(self):
        return f"GatewayMeta(error_code={self.error_code!r}, error_text={self.error_text!r})"


def encode_frame(begin, message):
    body = json.dumps(message, ensure_ascii=False).encode("utf-8")
    return _HEADER.pack(begin, len(body)) + body


def write_frame(sock, begin, message):
    sock.sendall(encode_frame(begin, message))


def _read_exact(sock, size, deadline):
    chunks = []
    while size:
        if deadline is not None:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("the gateway's answer did not arrive in time")
            sock.settimeout(left)
        chunk = sock.recv(min(size, 65536))
        if not chunk:
            raise GatewayError("gateway closed the connection")
        chunks.append(chunk)
        size -= len(chunk)
    return b"".join(chunks)


def read_frame(sock, begin, deadline=None):
    """The next message, or GatewayError for a frame that does not start with `begin`.

    With a `deadline` (time.monotonic()), the whole frame must arrive by then."""
    marker, size = _HEADER.unpack(_read_exact(sock, _HEADER.size, deadline))
    if marker != begin:
        raise GatewayError(f"bad frame marker 0x{marker:02x}")
    if size > MAX_FRAME:
        raise GatewayError(f"frame of {size} bytes is too large")
    message = json.loads(_read_exact(sock, size, deadline).decode("utf-8"))
    if not isinstance(message, dict):
        raise GatewayError("frame body is not an object")
    return message


def _begin_byte(begin):
    if isinstance(begin, (bytes, bytearray)) and len(begin) == 1:
        return begin[0]
    raise ValueError(f"begin must be a single byte, got {begin!r}")


def tls_context(cafile=None):
    """The client side of the gateway's TLS: certificates and host names verified."""
    if cafile is None:
        cafile = os.environ.get("REQUESTS_CA_BUNDLE")
    if not cafile:
        import certifi

        cafile = certifi.where()
    return ssl.create_default_context(cafile=cafile)


class GatewaySession:
    """One connection to a gateway site, opened by ``protocol_comfirm``.

    ``timeout`` bounds the connection and each call, start to end."""

    def __init__(self, ip=None, port=None, begin=b"\x0f", timeout=10.0, cafile=None, **options):
        self.ip = ip
        self.port = port
        self.begin = begin
        self.timeout = timeout
        self.cafile = cafile
        self.options = options
        self._begin = _begin_byte(begin)
        self._sock = None
        self._pid = None  # of the process that opened the connection
        self._closed_because = None
        self._last_id = 0
        self._lock = threading.Lock()

    def _connect(self):
        context = tls_context(self.cafile)
        self._pid = os.getpid()
        raw = socket.create_connection((self.ip, self.port), timeout=self.timeout)
        try:
            self._sock = context.wrap_socket(raw, server_hostname=str(self.ip))
        except BaseException:
            raw.close()
            raise

    def _exchange(self, message):
        if self._pid not in (None, os.getpid()):
            raise GatewayError(
                "this gateway session belongs to the parent process; log in again in this one"
            )
        with self._lock:
            if self._closed_because is not None:
                raise GatewayError(f"gateway session closed: {self._closed_because}; log in again")
            if self._sock is None and message["op"] == "protocol_confirm":
                self._connect()
            if self._sock is None:
                raise GatewayError("gateway session is not connected; log in again")
            self._last_id += 1
            message = {**message, "id": self._last_id}
            frame = encode_frame(self._begin, message)  # before the stream is touched
            name = _call_name(message)
            try:
                deadline = None if self.timeout is None else time.monotonic() + self.timeout
                self._sock.settimeout(self.timeout)
                self._sock.sendall(frame)
                reply = read_frame(self._sock, self._begin, deadline)
                if reply.get("id") != message["id"]:
                    raise GatewayError(f"gateway answered another request than {name!r}")
            except BaseException as exc:
                self._closed_because = f"the call {name!r} did not complete ({type(exc).__name__})"
                self._sock.close()
                raise
        if reply.get("status") != "ok":
            raise GatewayError(
                reply.get("reason") or "gateway refused {}".format(message.get("op"))
            )
        return reply

    def protocol_comfirm(self):
        return self._exchange({"op": "protocol_confirm", "version": PROTOCOL_VERSION})

    def protocol_auth(self):
        return self._exchange({"op": "protocol_auth"})

    def client_auth(self, auth_code=None):
        return self._exchange({"op": "client_auth", "auth_code": auth_code})

    def client_login(self, user_id, name):
        return self._exchange({"op": "client_login", "user_id": user_id, "name": name})

    def request_json(self, meta=None, args=None):
        reply = self._exchange({"op": "request", "meta": meta or {}, "args": args or {}})
        meta_in = reply.get("meta") or {}
        text = meta_in.get("error_text") or ""
        return GatewayMeta(meta_in.get("error_code", 0), text.encode("utf-8")), reply.get("data")

    def close(self):
        # In a forked child the socket is the parent's too: only this copy is closed.
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def _call_name(message):
    meta = message.get("meta") or {}
    if message["op"] != "request":
        return message["op"]
    return "{}.{}".format(meta.get("service_name"), meta.get("method_name"))


class GatewayClient:
    """Base of the gateway client: holds the session its ``_make_session`` opens."""

    def __init__(self, host=None, port=None, session=None, password=None):
        self.host = host
        self.port = port
        self.session = session
        self._encrypted_password = password

    def connect(self, **kwargs):
        """Log in (the subclass's ``_make_session``) and keep the session for later calls."""
        self.close()
        self.session = self._make_session(**kwargs)
        return self.session

    def close(self):
        if self.session is not None:
            self.session.close()
            self.session = None

    def call_rpc_json(
        self, service_name, method_name, args, stream=False, channel_key="", service_type=0
    ):
        if self.session is None:
            raise GatewayError("not logged in at a gateway")
        meta = {
            "service_name": service_name,
            "method_name": method_name,
            "channel_key": channel_key,
            "service_type": service_type,
            "stream": stream,
        }
        return self.session.request_json(meta=meta, args=args)
