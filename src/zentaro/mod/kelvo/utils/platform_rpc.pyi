from collections.abc import Callable, Mapping
from typing import Any
from zentaro.utils.exception import APIException as APIException
import zentaro.mod.kelvo.setting as setting
import zentaro.utils.logger


system_log: zentaro.utils.logger._SafeLogger = ...

class APIClient:
    """Client of the platform server: login, token refresh and service calls."""

    base_url: str = 'https://api.zentaro.com/sdk/'

    request_methods: dict[str, dict[str, Any]] = ...

    def __init__(self, encoding: str = 'utf-8', base_url: str | None = None) -> None:
        """Set up a client of the platform server; reads the stored token."""

    def _get_token(self) -> str:
        """Exchange the stored token for a fresh one; cached for two hours."""

    def login(self, username: str, password: str) -> bool:
        """Log in and store the token the server returns; return True."""

    def logout(self) -> bool | None:
        """Delete the token file; return False when there is none."""

    def _compose_url(self, path: str) -> str:
        """Return base_url followed by path."""

    def _handle_response(self, response: Any) -> Any:
        """Return the decoded value of a service answer."""

    def _request(self, _method: str = 'POST', _path: str = '', _headers: Mapping[str, str] = {}, _timeout: float | None = 10, _timeout_retry: int = 1, **kwargs: Any) -> Any:
        """
        Send one service call with the keyword arguments as its body; return the decoded answer.
        """

    def __getattr__(self, func: str) -> Callable[..., Any]:
        """Return a callable that calls the service `func` of request_methods."""

    encoding: str
    _token_file: str
    _refresh_token: str | None
    _notice_file: str

kl_api: APIClient = ...
