"""Host layer: the broker client of the platform's trading RPC.

The client hands each request dict to a backend, a callable that returns the
answer dict; a backend with a ``publish`` attribute gets the client's
``publish`` there and calls it for every pushed order event. Which backend a
client built without one uses is configuration, never a default of this
module: ``set_backend_factory(factory)``, or else the environment variable
``ZENTARO_BROKER_BACKEND`` naming a factory as ``package.module:name``.
Pushed events are delivered to the registered handlers on a thread of the
client's.
"""

import atexit
import importlib
import logging
import os
import queue
import threading
import weakref

BACKEND_ENV = "ZENTARO_BROKER_BACKEND"

_log = logging.getLogger("zentaro.client_rv")
_live_clients = weakref.WeakSet()
_STOP = object()
_backend_factory = None


class BackendNotConfigured(RuntimeError):
    """No broker backend was set and the environment names none."""


def set_backend_factory(factory):
    """Use ``factory()`` as the backend of clients built without one (None: back to the environment)."""
    global _backend_factory
    _backend_factory = factory


def backend_factory():
    """The configured factory: the one set in this process, else the environment's."""
    if _backend_factory is not None:
        return _backend_factory
    target = os.environ.get(BACKEND_ENV, "").strip()
    if not target:
        raise BackendNotConfigured(
            "no broker backend configured: set " + BACKEND_ENV + " to 'package.module:factory' "
            "or call zentaro.mod.tradeapi.sdk.client_rv.set_backend_factory(factory)"
        )
    module_name, _, attr = target.partition(":")
    if not module_name or not attr:
        raise BackendNotConfigured(
            f"{BACKEND_ENV}={target!r} is not of the form 'package.module:factory'"
        )
    setting = f"{BACKEND_ENV}={target!r}"
    try:
        found = importlib.import_module(module_name)
    except ModuleNotFoundError as exc:
        raise ModuleNotFoundError(
            f"{setting}: cannot import {module_name!r} (no module named {exc.name!r}); "
            "set it to an importable 'package.module:factory'",
            name=exc.name,
        ) from exc
    for part in attr.split("."):
        try:
            found = getattr(found, part)
        except AttributeError as exc:
            raise AttributeError(
                f"{setting}: {module_name} has no attribute {attr!r}; name the factory "
                "after the colon",
                name=part,
                obj=found,
            ) from exc
    if not callable(found):
        raise BackendNotConfigured(f"{setting}: {attr} is not callable")
    return found


class RavineClient:
    """Turns a request dict into an RPC and returns the decoded answer."""

    def __init__(self, backend=None):
        self.backend = backend_factory()() if backend is None else backend
        self._callbacks = []
        self._events = queue.Queue()
        self._thread = None
        self._thread_lock = threading.Lock()
        if hasattr(self.backend, "publish"):
            self.backend.publish = self.publish
        _live_clients.add(self)

    def call_rpc_json(self, request):
        return self.backend(request)

    def register_callback(self, handler):
        self._callbacks.append(handler)
        self._ensure_thread()

    def publish(self, first, event):
        """Queue a pushed event for the handlers; delivery happens on the client's thread."""
        self._ensure_thread()
        self._events.put((first, event))

    def wait_delivered(self, timeout=None):
        """Block until every queued event has reached the handlers (for tests and demos)."""
        done = threading.Event()
        self._events.put((_STOP, done))
        return done.wait(timeout)

    def close(self):
        thread = self._thread
        if thread is not None and thread.is_alive():
            self._events.put((_STOP, None))
            thread.join()
        self._thread = None

    def _ensure_thread(self):
        with self._thread_lock:
            if self._thread is None or not self._thread.is_alive():
                self._thread = threading.Thread(
                    target=_deliver,
                    args=(weakref.ref(self), self._events),
                    name="ravine-push",
                    daemon=True,
                )
                self._thread.start()


def _deliver(client_ref, events):
    # Holds the client only while handing out one event, so that a client
    # nobody uses any more can be freed.
    while True:
        first, event = events.get()
        if first is _STOP:
            if event is None:
                return
            event.set()
            continue
        client = client_ref()
        if client is None:
            return
        handlers = list(client._callbacks)
        del client
        for handler in handlers:
            try:
                handler(first, event)
            except Exception:  # a failing handler must not stop the delivery
                _log.exception("push handler failed")
        handler = handlers = None


@atexit.register
def _stop_delivery():
    # Stopping the threads before the interpreter finalizes lets the handlers
    # (and the objects they hold) be freed with everything else.
    for client in list(_live_clients):
        client.close()
