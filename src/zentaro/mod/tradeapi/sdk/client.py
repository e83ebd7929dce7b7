"""Host layer: the futures gateway transport (a deployment replaces this module).

``GatewaySession`` is one TCP connection to a gateway site; ``GatewayClient`` is
the base of the kit's gateway client and sends RPC calls on the session it holds.

Wire format, both directions: one frame per message, made of the session's
``begin`` byte, the body length as 4 bytes big-endian, and the body, a UTF-8
JSON object. Every request carries ``op``; every answer carries ``status``
("ok" or "refused", with ``reason``).
"""

import json
import socket
import struct

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


def write_frame(sock, begin, message):
    body = json.dumps(message, ensure_ascii=False).encode("utf-8")
    sock.sendall(_HEADER.pack(begin, len(body)) + body)


def _read_exact(sock, size):
    chunks = []
    while size:
        chunk = sock.recv(min(size, 65536))
        if not chunk:
            raise GatewayError("gateway closed the connection")
        chunks.append(chunk)
        size -= len(chunk)
    return b"".join(chunks)


def read_frame(sock, begin):
    """The next message, or GatewayError for a frame that does not start with `begin`."""
    marker, size = _HEADER.unpack(_read_exact(sock, _HEADER.size))
    if marker != begin:
        raise GatewayError(f"bad frame marker 0x{marker:02x}")
    if size > MAX_FRAME:
        raise GatewayError(f"frame of {size} bytes is too large")
    message = json.loads(_read_exact(sock, size).decode("utf-8"))
    if not isinstance(message, dict):
        raise GatewayError("frame body is not an object")
    return message


def _begin_byte(begin):
    if isinstance(begin, (bytes, bytearray)) and len(begin) == 1:
        return begin[0]
    raise ValueError(f"begin must be a single byte, got {begin!r}")


class GatewaySession:
    """One connection to a gateway site, opened by ``protocol_comfirm``."""

    def __init__(self, ip=None, port=None, begin=b"\x0f", timeout=10.0, **options):
        self.ip = ip
        self.port = port
        self.begin = begin
        self.timeout = timeout
        self.options = options
        self._begin = _begin_byte(begin)
        self._sock = None

    def _exchange(self, message):
        if self._sock is None:
            raise GatewayError("session is not connected")
        write_frame(self._sock, self._begin, message)
        reply = read_frame(self._sock, self._begin)
        if reply.get("status") != "ok":
            raise GatewayError(
                reply.get("reason") or "gateway refused {}".format(message.get("op"))
            )
        return reply

    def protocol_comfirm(self):
        if self._sock is None:
            self._sock = socket.create_connection((self.ip, self.port), timeout=self.timeout)
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
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


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
