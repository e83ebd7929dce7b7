from zentaro.mod.kelvo.utils.paths import get_user_id as get_user_id
from zentaro.mod.tradeapi.sdk.client import (
    GatewayClient as _GatewayClient,
    GatewaySession as GatewaySession
)
from zentaro.mod.tradeapi.sdk.common.encryption import (
    EncryptionBase64 as EncryptionBase64,
    EncryptionDesBase64 as EncryptionDesBase64
)
import functools
import zentaro.mod.kelvo.utils.platform_rpc
import zentaro.mod.tradeapi.ctp.datacollect as datacollect
import zentaro.mod.tradeapi.sdk.client
import zentaro.utils.logger


urlsplit: functools._lru_cache_wrapper = ...

kl_api: zentaro.mod.kelvo.utils.platform_rpc.APIClient = ...

user_log: zentaro.utils.logger._SafeLogger = ...

system_log: zentaro.utils.logger._SafeLogger = ...

class GatewayClient(zentaro.mod.tradeapi.sdk.client.GatewayClient):
    """Client of one futures trading account at its broker's gateway."""

    _qs_info: dict = {}

    qs_info_url: str = ...

    qs_site_url: str = ...

    @classmethod
    def get_qs_info(cls):
        """
        Return the broker directory, broker name to broker record; downloaded once.
        """

    @classmethod
    def get_qs_site(cls, qsid):
        """Return the list of gateway site records of broker `qsid`."""

    @classmethod
    def select_site_auto(cls, broker_id):
        """
        Return (broker record, site) for the broker named most like `broker_id`, the site picked at random.
        """

    @classmethod
    def get_system_info(cls):
        """Return the client fingerprint sent with a gateway login."""

    def __init__(self, broker_id, account_id, password):
        """
        Set up the client of one futures account; keeps the password encrypted.
        """

    def _make_session(self, **kwargs):
        """Log the account in at a gateway site; return the session."""

    def make_return(self, meta, result):
        """Return {success, msg, result} for an RPC answer."""

    def call_rpc(self, method_name, args={}, stream=False, service_name='rpc.trader.futures'):
        """Send one RPC call with the session keys; return its answer."""
