"""Host layer: the broker client of the platform's trading RPC.

A deployment replaces this module with the real RPC client.
"""


class RavineClient:
    """Turns a request dict into an RPC and returns the decoded answer."""

    def __init__(self, backend=None):
        self._backend = backend
        self._callbacks = []

    def call_rpc_json(self, request):
        if self._backend is None:
            return {"error": {"message": "no trading backend configured"}}
        return self._backend(request)

    def register_callback(self, handler):
        self._callbacks.append(handler)
