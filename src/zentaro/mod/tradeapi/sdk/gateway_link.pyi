from collections.abc import Mapping
from typing import Any
from zentaro.mod.kelvo.utils.paths import get_user_id as get_user_id
from zentaro.mod.tradeapi.sdk.client import (
    GatewayClient as _GatewayClient,
    GatewaySession as GatewaySession
)
from zentaro.mod.tradeapi.sdk.common.encryption import (
    EncryptionBase64 as EncryptionBase64,
    EncryptionDesBase64 as EncryptionDesBase64
)
import zentaro.mod.kelvo.utils.platform_rpc
import zentaro.mod.tradeapi.ctp.datacollect as datacollect
import zentaro.mod.tradeapi.sdk.client
import zentaro.utils.logger


kl_api: zentaro.mod.kelvo.utils.platform_rpc.APIClient = ...

user_log: zentaro.utils.logger._SafeLogger = ...

system_log: zentaro.utils.logger._SafeLogger = ...

class GatewayClient(zentaro.mod.tradeapi.sdk.client.GatewayClient):
    """Client of one futures trading account at its broker's gateway."""

    _qs_info: dict[str, dict[str, str]] = {}

    qs_info_url: str = ...

    qs_site_url: str = ...

    @classmethod
    def get_qs_info(cls) -> dict[str, dict[str, str]]:
        """
        Return the broker directory, broker name to broker record; downloaded once.
        """

    @classmethod
    def get_qs_site(cls, qsid: str) -> list[dict[str, Any]]:
        """Return the list of gateway site records of broker `qsid`."""

    @classmethod
    def select_site_auto(cls, broker_id: str) -> tuple[dict[str, str], dict[str, Any]]:
        """
        Return (broker record, site) for the broker named most like `broker_id`, the site picked at random.
        """

    @classmethod
    def get_system_info(cls) -> dict[str, str]:
        """Return the client fingerprint sent with a gateway login."""

    def __init__(self, broker_id: str, account_id: str, password: str) -> None:
        """
        Set up the client of one futures account; keeps the password encrypted.
        """

    def _make_session(self, **kwargs: Any) -> zentaro.mod.tradeapi.sdk.client.GatewaySession:
        """Log the account in at a gateway site; return the session."""

    def make_return(self, meta: Any, result: Any) -> dict[str, Any]:
        """Return {success, msg, result} for an RPC answer."""

    def call_rpc(self, method_name: str, args: Mapping[str, Any] = {}, stream: bool | None = False, service_name: str | None = 'rpc.trader.futures') -> Any:
        """Send one RPC call with the session keys; return its answer."""

    broker_id: str
    account_id: str
    password: str
    system_info: dict[str, str]
    qsinfo: dict[str, str]
    site: dict[str, Any]
    _investor_key: int
    _channel_key: str
    _service_type: int
