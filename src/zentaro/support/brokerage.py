"""The simulated brokerage as a local service, and the way to trade on it.

``BrokerageServer`` serves one ``SimulatedBrokerage`` on 127.0.0.1 over TCP,
one JSON object per line. ``RemoteBrokerage`` is the matching backend of the
kit's broker client (``ZENTARO_BROKER_BACKEND=zentaro.support.brokerage:RemoteBrokerage``,
address in ``ZENTARO_BROKER_URL``), so a script in another process queries the
same account and receives its pushed order events. ``place_order`` places an
order in that account; it fills at once and pushes two order events (reported,
filled) to every subscribed client::

    from zentaro.support.brokerage import place_order
    place_order("600519.SH", "BUY", 100, 1650.0)

Operations, each a line ``{"op": ...}`` answered by a line:
``rpc`` (``request``: a trading RPC request dict) -> ``{"answer": ...}``;
``place_order`` (``symbol``, ``side``, ``amount``, ``price``, ``price_type``)
-> ``{"instruction_id": ...}`` or ``{"error": text}``; ``listen`` ->
``{"listening": true}``, then one ``{"first": ..., "event": ...}`` line per
pushed event for as long as the connection stays open.
"""

import json
import socket
import socketserver
import threading
import weakref

from zentaro.support.broker_sim import SimulatedBrokerage
from zentaro.support.serving import BackgroundServer

URL_ENV = "ZENTARO_BROKER_URL"
BACKEND_SPEC = "zentaro.support.brokerage:RemoteBrokerage"
SUBSCRIBE_REQ_TYPE = 1601

_SIDES = {"BUY": 0, "B": 0, "SELL": 1, "SALE": 1, "S": 1}
# A line longer than this is not an honest request; the connection is dropped.
_MAX_LINE = 1 << 20
_SEND_TIMEOUT = 5.0


class BrokerageError(RuntimeError):
    """The simulated brokerage refused an operation."""


def _encode(value):
    return (json.dumps(value, ensure_ascii=False, default=str) + "\n").encode("utf-8")


def _read_line(stream):
    line = stream.readline(_MAX_LINE + 1)
    if not line:
        return None
    if len(line) > _MAX_LINE or not line.endswith(b"\n"):
        raise ValueError("request line too long or cut off")
    return json.loads(line)


# ------------------------------------------------------------------ server


class _Handler(socketserver.StreamRequestHandler):
    def handle(self):
        server = self.server.brokerage_server
        while True:
            try:
                message = _read_line(self.rfile)
            except ValueError:
                return
            if not isinstance(message, dict):
                return
            if message.get("op") == "listen":
                server._listen(self.connection)
                return
            self.wfile.write(_encode(server._answer(message)))


class _Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


class BrokerageServer(BackgroundServer):
    """``with BrokerageServer() as srv:`` serves ``srv.brokerage`` at ``srv.url``."""

    thread_name = "brokerage"

    def __init__(self, brokerage=None, host="127.0.0.1"):
        self.brokerage = SimulatedBrokerage() if brokerage is None else brokerage
        self.brokerage.publish = self._broadcast
        self.host = host
        self._listeners = []
        self._lock = threading.Lock()

    @property
    def url(self):
        return f"tcp://{self.host}:{self._server.server_address[1]}"

    def client_env(self):
        return {URL_ENV: self.url, "ZENTARO_BROKER_BACKEND": BACKEND_SPEC}

    def _make_server(self):
        server = _Server((self.host, 0), _Handler)
        server.brokerage_server = self
        return server

    def _before_stop(self):
        with self._lock:
            listeners, self._listeners = self._listeners, []
        for conn in listeners:
            _close(conn)

    def _answer(self, message):
        op = message.get("op")
        try:
            if op == "rpc":
                return {"answer": self.brokerage(message.get("request"))}
            if op == "place_order":
                return {"instruction_id": self._place(message)}
        except (KeyError, TypeError, ValueError) as exc:
            return {"error": str(exc)}
        return {"error": f"unknown operation {op!r}"}

    def _place(self, message):
        return self.brokerage.place_order(
            self.brokerage.fund_token,
            _code_of(message["symbol"]),
            _side_of(message["side"]),
            int(message["amount"]),
            float(message["price"]),
            int(message.get("price_type", 0)),
        )

    def _listen(self, conn):
        # A listener that stops reading must not stall the brokerage: a push
        # that cannot be sent within the time-out drops that listener.
        conn.settimeout(_SEND_TIMEOUT)
        with self._lock:
            self._listeners.append(conn)
            conn.sendall(_encode({"listening": True}))
        # The listener never sends again; its end of the stream ends the subscription.
        while True:
            try:
                if not conn.recv(4096):
                    break
            except TimeoutError:
                continue
            except OSError:
                break
        with self._lock:
            if conn in self._listeners:
                self._listeners.remove(conn)

    def _broadcast(self, first, event):
        line = _encode({"first": first, "event": event})
        with self._lock:
            for conn in list(self._listeners):
                try:
                    conn.sendall(line)
                except OSError:
                    self._listeners.remove(conn)


def _close(conn):
    try:
        conn.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    conn.close()


def _code_of(symbol):
    code = str(symbol).split(".", 1)[0]
    if not code.isdigit():
        raise ValueError(f"not a stock code: {symbol!r}")
    return code


def _side_of(side):
    if isinstance(side, int):
        return side
    try:
        return _SIDES[str(side).upper()]
    except KeyError:
        raise ValueError(f"unknown side {side!r}: BUY or SELL") from None


# ------------------------------------------------------------------ client


def _address(url):
    import os

    url = url or os.environ.get(URL_ENV, "")
    if not url:
        raise BrokerageError(
            f"{URL_ENV} is not set: start the local services with zentaro-local "
            "(or pass url='tcp://127.0.0.1:PORT')"
        )
    host, _, port = url.removeprefix("tcp://").rstrip("/").rpartition(":")
    if not host or not port.isdigit():
        raise BrokerageError(f"not a brokerage address: {url!r}")
    return host, int(port)


def _connect(address, timeout=10.0):
    """A connection to the brokerage; a failure says where it looked and what to do."""
    try:
        return socket.create_connection(address, timeout=timeout)
    except OSError as exc:
        host, port = address
        text = (
            f"cannot reach the simulated brokerage at tcp://{host}:{port} "
            f"({exc.strerror or exc}): are the local services running? Start them with "
            f"zentaro-local (or zentaro-local run -- CMD), which sets {URL_ENV}"
        )
        # The same type, so that callers catching ConnectionRefusedError still do.
        error = type(exc)(exc.errno, text) if exc.errno is not None else type(exc)(text)
        raise error from exc


def _exchange(address, message, timeout=10.0):
    with _connect(address, timeout=timeout) as conn:
        conn.sendall(_encode(message))
        with conn.makefile("rb") as stream:
            answer = _read_line(stream)
    if answer is None:
        raise ConnectionError("the brokerage closed the connection without answering")
    return answer


def place_order(symbol, side, amount, price, price_type=0, url=None):
    """Place an order in the simulated account; it fills at once. Returns the instruction id.

    `symbol` is "600519.SH" or "600519", `side` "BUY" or "SELL", `amount` a
    number of shares, `price` the limit price. Subscribed clients receive two
    pushed order events. Raises BrokerageError when the account refuses
    (no cash, no position, bad values).
    """
    answer = _exchange(
        _address(url),
        {
            "op": "place_order",
            "symbol": symbol,
            "side": side,
            "amount": amount,
            "price": price,
            "price_type": price_type,
        },
    )
    if "error" in answer:
        raise BrokerageError(answer["error"])
    return answer["instruction_id"]


class RemoteBrokerage:
    """Broker client backend that talks to a ``BrokerageServer`` (``ZENTARO_BROKER_URL``)."""

    def __init__(self, url=None):
        self.address = _address(url)
        self.publish = None  # set by the broker client
        self._listener = None
        self._lock = threading.Lock()

    def __call__(self, request):
        answer = _exchange(self.address, {"op": "rpc", "request": request})
        if "error" in answer:
            raise BrokerageError(answer["error"])
        answer = answer["answer"]
        if isinstance(request, dict) and request.get("ReqType") == SUBSCRIBE_REQ_TYPE:
            if isinstance(answer, dict) and not answer.get("error"):
                self._ensure_listening()
        return answer

    def _ensure_listening(self):
        # Listening starts before the subscription's answer is returned, so no
        # order placed after register_push can slip by unseen.
        with self._lock:
            if self._listener is not None and self._listener.is_alive():
                return
            conn = _connect(self.address)
            conn.sendall(_encode({"op": "listen"}))
            stream = conn.makefile("rb")
            if _read_line(stream) != {"listening": True}:
                conn.close()
                raise ConnectionError("the brokerage refused to push order events")
            conn.settimeout(None)
            self._listener = threading.Thread(
                target=_receive,
                args=(weakref.ref(self), conn, stream),
                name="brokerage-listener",
                daemon=True,
            )
            self._listener.start()


def _receive(backend_ref, conn, stream):
    # Holds the backend (and through its `publish` the client, its handlers and
    # whatever they hold) only while handing on one event: a daemon thread still
    # waiting here at exit must keep nothing of the user's alive.
    with conn, stream:
        while True:
            try:
                message = _read_line(stream)
            except (OSError, ValueError):
                return
            if message is None:
                return
            backend = backend_ref()
            if backend is None:
                return
            publish = backend.publish
            del backend
            if publish is not None:
                publish(message.get("first"), message.get("event"))
            publish = None
