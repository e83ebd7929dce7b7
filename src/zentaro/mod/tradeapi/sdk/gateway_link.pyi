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
    _qs_info: dict = {}

    qs_info_url: str = ...

    qs_site_url: str = ...

    @classmethod
    def get_qs_info(*args, **kwargs) -> Any:
        """get_qs_info(self) -> object"""

    @classmethod
    def get_qs_site(*args, **kwargs) -> Any:
        """get_qs_site(self, qsid: object) -> object"""

    @classmethod
    def select_site_auto(*args, **kwargs) -> Any:
        """select_site_auto(self, broker_id: object) -> object"""

    @classmethod
    def get_system_info(*args, **kwargs) -> Any:
        """get_system_info(self) -> object"""

    def __init__(self, broker_id: object, account_id: object, password: object) -> None: ...

    def _make_session(self, **kwargs) -> object: ...

    def make_return(self, meta: object, result: object) -> object: ...

    def call_rpc(self, method_name: object, args: object = {}, stream: object = False, service_name: object = 'rpc.trader.futures') -> object: ...
