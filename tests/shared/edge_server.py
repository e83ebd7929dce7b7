"""A scripted HTTP server on 127.0.0.1 for the kit's network edges (redirects,
proxies, slow answers), and a resolver stub that sends test host names there.

Each path answers through a function of the request handler; every request
is recorded as (method, path, body)."""

import os
import shutil
import socket
import ssl
import tempfile
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _serve(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        edge = self.server.edge
        with edge.lock:
            edge.requests.append((self.command, self.path, body))
        answer = edge.routes.get(self.path.split("?")[0], edge.default)
        try:
            answer(self)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            pass  # the client gave up
        self.close_connection = True

    do_GET = do_POST = do_PUT = _serve


def send(handler, status, body=b"", headers=()):
    """One whole answer."""
    handler.send_response(status)
    for name, value in headers:
        handler.send_header(name, value)
    handler.send_header("Content-Length", str(len(body)))
    handler.send_header("Connection", "close")
    handler.end_headers()
    handler.wfile.write(body)


def redirect(status, location):
    return lambda h: send(h, status, b"moved", [("Location", location)])


def not_found(handler):
    send(handler, 404, b"no such path")


class EdgeServer:
    """ThreadingHTTPServer on 127.0.0.1, plain or TLS (a CA of its own in
    `ca_file`); `route(path, fn)` scripts the answer of a path."""

    def __init__(self, tls=False):
        self.tls = tls
        self.routes, self.requests = {}, []
        self.default = not_found
        self.lock = threading.Lock()
        self.ca_file = None
        self._tmp = None

    def __enter__(self):
        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
        self.httpd.daemon_threads = True
        self.httpd.edge = self
        if self.tls:
            import trustme

            ca = trustme.CA()
            ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            ca.issue_cert("127.0.0.1", "localhost").configure_cert(ctx)
            self._tmp = tempfile.mkdtemp(prefix="zentaro-edge-")
            self.ca_file = os.path.join(self._tmp, "ca.pem")
            ca.cert_pem.write_to_path(self.ca_file)
            self.httpd.socket = ctx.wrap_socket(self.httpd.socket, server_side=True)
        self.port = self.httpd.server_address[1]
        self.url = f"{'https' if self.tls else 'http'}://127.0.0.1:{self.port}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(5)
        if self._tmp:
            shutil.rmtree(self._tmp, ignore_errors=True)

    def route(self, path, answer):
        self.routes[path] = answer

    def paths(self):
        with self.lock:
            return [path for _, path, _ in self.requests]


def stub_resolver(monkeypatch, names, unresolvable=()):
    """Host names in `names` resolve to 127.0.0.1, those in `unresolvable`
    fail as an unknown name does; all others as before."""
    real = socket.getaddrinfo

    def getaddrinfo(host, *args, **kwargs):
        if host in unresolvable:
            raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")
        return real("127.0.0.1" if host in names else host, *args, **kwargs)

    monkeypatch.setattr(socket, "getaddrinfo", getaddrinfo)


def free_port():
    """A port on 127.0.0.1 where nothing listens (just closed)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
