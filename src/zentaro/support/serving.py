"""The life cycle shared by the local services: a socket server on a daemon thread."""

import signal
import threading


class BackgroundServer:
    """Subclasses build their server in ``_make_server``; ``with`` starts and stops it."""

    thread_name = "local-service"
    _server = None
    _thread = None

    def _make_server(self):
        raise NotImplementedError

    def _before_stop(self):
        """Release anything that would keep a request handler waiting."""

    def start(self):
        self._server = self._make_server()
        self._thread = threading.Thread(
            target=self._server.serve_forever, args=(0.05,), daemon=True, name=self.thread_name
        )
        self._thread.start()
        return self

    def stop(self):
        if self._server is not None:
            self._before_stop()
            self._server.shutdown()
            self._server.server_close()
            self._thread.join()
            self._server = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False


class Stopped(Exception):
    """SIGTERM arrived: raised in the main thread so ``with`` blocks stop their services."""


def stop_on_sigterm():
    """Make SIGTERM raise ``Stopped`` in the main thread (call before starting anything)."""

    def _raise(signum, frame):
        raise Stopped()

    signal.signal(signal.SIGTERM, _raise)


def wait_for_stop():
    """Block until Ctrl-C or SIGTERM (see ``stop_on_sigterm``); return which one came."""
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        return signal.SIGINT
    except Stopped:
        return signal.SIGTERM
