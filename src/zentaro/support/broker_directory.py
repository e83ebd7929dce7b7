"""A local HTTP server for the broker directory and the gateway configuration.

It serves "/futures/ctp_address.xml" (the directory XML) and
"/futgwapi/api/trade/v1/trade/gateway/config?qsidList=<id>" (one broker's site
lists as JSON) on 127.0.0.1, on an ephemeral port. Tests replace either
document with raw bodies to exercise broken answers.
"""

import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit
from xml.sax.saxutils import quoteattr

from zentaro.support.serving import BackgroundServer

DIRECTORY_PATH = "/futures/ctp_address.xml"
SITE_PATH = "/futgwapi/api/trade/v1/trade/gateway/config"
ENV_NAME = "ZENTARO_GATEWAY_DIRECTORY_URL"

DEFAULT_BROKERS = [
    {"qsname": "青岚期货", "qsid": "1001", "wtid": "9001", "area": "华东"},
    {"qsname": "北辰期货", "qsid": "1002", "wtid": "9002", "area": "华北"},
    {"qsname": "海澄期货", "qsid": "1003", "wtid": "9003", "area": "华南"},
]


def directory_xml(brokers):
    """The directory document: one <broker> element per record, all data in attributes."""
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', "<brokers>"]
    for record in brokers:
        attrs = " ".join(f"{k}={quoteattr(str(v))}" for k, v in record.items())
        lines.append(f"  <broker {attrs}/>")
    lines.append("</brokers>")
    return "\n".join(lines).encode("utf-8")


def site_answer(*groups):
    """A successful configuration answer whose first data object holds `groups` as lists."""
    return {"code": 0, "msg": "ok", "data": [{f"group{i}": list(g) for i, g in enumerate(groups)}]}


class _Handler(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        server = self.server.directory
        parts = urlsplit(self.path)
        server.record(self.path)
        if server.hanging(parts.path):
            server.release.wait()
            return
        if parts.path == DIRECTORY_PATH:
            body = server.directory_body()
        elif parts.path == SITE_PATH:
            body = server.site_body(parse_qs(parts.query).get("qsidList", [""])[0])
        else:
            body = None
        if body is None:
            self._send(404, b"not found", "text/plain")
        else:
            self._send(200, *body)

    def _send(self, status, body, content_type):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def _encode(answer, content_type):
    if isinstance(answer, bytes):
        return answer, content_type
    if isinstance(answer, str):
        return answer.encode("utf-8"), content_type
    return json.dumps(answer, ensure_ascii=False).encode("utf-8"), content_type


class BrokerDirectoryServer(BackgroundServer):
    """``with BrokerDirectoryServer() as srv:``; ``srv.url`` is scheme and host.

    `brokers` are directory records; `sites` maps a broker id to its answer
    (a dict sent as JSON, or bytes/str sent as they are). Brokers without an
    entry answer with no site at all (code 0, empty data).
    """

    thread_name = "broker-directory"

    def __init__(self, brokers=None, sites=None, host="127.0.0.1"):
        self.brokers = [dict(b) for b in (DEFAULT_BROKERS if brokers is None else brokers)]
        self.sites = dict(sites or {})
        self.host = host
        self.requests = []
        self.release = threading.Event()
        self._raw_directory = None
        self._hang = set()
        self._lock = threading.Lock()

    # ----- documents
    def set_directory(self, body):
        """Serve `body` (bytes or str) as the directory instead of the broker records."""
        self._raw_directory = body

    def set_sites(self, qsid, answer):
        self.sites[str(qsid)] = answer

    def hang(self, path):
        """Never answer requests for `path` (until stop)."""
        self._hang.add(path)

    def hanging(self, path):
        return path in self._hang

    def directory_body(self):
        if self._raw_directory is None:
            return directory_xml(self.brokers), "application/xml"
        return _encode(self._raw_directory, "application/xml")

    def site_body(self, qsid):
        answer = self.sites.get(qsid, {"code": 0, "data": []})
        return _encode(answer, "application/json")

    def record(self, path):
        with self._lock:
            self.requests.append(path)

    def count(self, path):
        with self._lock:
            return sum(1 for p in self.requests if urlsplit(p).path == path)

    # ----- addresses
    @property
    def url(self):
        return f"http://{self.host}:{self._server.server_address[1]}"

    @property
    def directory_url(self):
        return self.url + DIRECTORY_PATH

    @property
    def site_url(self):
        return self.url + SITE_PATH + "?qsidList={}"

    def client_env(self):
        return {ENV_NAME: self.url, "NO_PROXY": self.host}

    def apply_to(self, cls):
        """Point a gateway client class at this server."""
        cls.qs_info_url = self.directory_url
        cls.qs_site_url = self.site_url

    # ----- life cycle
    def _make_server(self):
        server = ThreadingHTTPServer((self.host, 0), _Handler)
        server.daemon_threads = True
        server.directory = self
        return server

    def _before_stop(self):
        self.release.set()
