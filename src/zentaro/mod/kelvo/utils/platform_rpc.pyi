from zentaro.utils.exception import APIException as APIException
import cachetools._cached
import functools
import zentaro.mod.kelvo.setting as setting
import zentaro.utils.logger


system_log: zentaro.utils.logger._SafeLogger = ...

urlsplit: functools._lru_cache_wrapper = ...

class APIClient:
    """Client of the platform server: login, token refresh and service calls."""

    base_url: str = 'https://api.zentaro.com/sdk/'

    request_methods: dict = ...

    def __init__(self, encoding='utf-8', base_url=None):
        """Set up a client of the platform server; reads the stored token."""

    _get_token: cachetools._cached._ConditionInfoWrapper = ...

    def login(self, username, password):
        """Log in and store the token the server returns; return True."""

    def logout(self):
        """Delete the token file; return False when there is none."""

    def _compose_url(self, path):
        """Return base_url followed by path."""

    def _handle_response(self, response):
        """Return the decoded value of a service answer."""

    def _request(self, _method='POST', _path='', _headers={}, _timeout=10, _timeout_retry=1, **kwargs):
        """
        Send one service call with the keyword arguments as its body; return the decoded answer.
        """

    def __getattr__(self, func):
        """Return a callable that calls the service `func` of request_methods."""

kl_api: APIClient = ...
