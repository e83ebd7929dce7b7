"""Host layer: the futures gateway transport (a deployment replaces this module).

``GatewaySession`` is one connection to a gateway site; ``GatewayClient`` is the
base of the kit's gateway client and sends RPC calls on the session it holds.
"""


class GatewaySession:
    def __init__(self, ip=None, port=None, begin=b"\x0f", **kwargs):
        self.ip = ip
        self.port = port
        self.begin = begin
        self.options = kwargs

    def protocol_comfirm(self):
        raise ConnectionError("no gateway transport configured")

    def protocol_auth(self):
        raise ConnectionError("no gateway transport configured")

    def client_auth(self, auth_code=None):
        raise ConnectionError("no gateway transport configured")

    def client_login(self, user_id, name):
        raise ConnectionError("no gateway transport configured")

    def request_json(self, meta=None, args=None):
        raise ConnectionError("no gateway transport configured")


class GatewayClient:
    def __init__(self, host=None, port=None, session=None, password=None):
        self.session = session
        self._encrypted_password = password

    def call_rpc_json(self, service_name, method_name, args, stream=False, channel_key="",
                      service_type=0):
        if self.session is None:
            raise ConnectionError("not logged in at a gateway")
        meta = {"service_name": service_name, "method_name": method_name,
                "channel_key": channel_key, "service_type": service_type, "stream": stream}
        return self.session.request_json(meta=meta, args=args)
