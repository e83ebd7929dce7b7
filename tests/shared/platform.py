"""The one embedded platform server of a test run, and its reset between
tests; an answer as the client reads it, and its plain Python decoding."""

import pickle
import zlib

import msgpack


def reset_server(srv):
    """No faults, answers, notice or records left by an earlier test."""
    srv.clear_faults()
    srv._answers.clear()
    srv.notice = None
    del srv.calls[:], srv.login_requests[:]


class Response:
    """The part of an HTTP answer the client reads."""

    def __init__(self, content, status_code=200):
        self.content, self.status_code = content, status_code


def plain_decode(body):
    """An answer body decoded by the plain Python steps: the outer pickle,
    zlib, then MessagePack or, where that fails, pickle."""
    result = zlib.decompress(pickle.loads(body))
    try:
        return msgpack.unpackb(result, raw=False)
    except Exception:
        return pickle.loads(result)
