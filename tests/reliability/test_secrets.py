"""Secrets: certificates are always verified, no password, token or fund token
shows in a log line or an exception text, and the token file is owner-only."""

import base64
import logging
import os
import pathlib
import pickle
import re
import stat
import traceback

import pytest
import requests

from shared import broker as samples
from shared.broker import ScriptedBroker
from zentaro.support.broker_directory import BrokerDirectoryServer, site_answer
from zentaro.support.gateway_sim import GatewaySimulator
from zentaro.utils.exception import APIException, TradeException

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"
PASSWORD = "Pa55-word-秘密"
FUTURES_PASSWORD = "futures-Pa55-秘"
FUND_TOKEN = "FT-7f3a9c-secret"

INSECURE = [
    r"verify\s*=\s*False",
    r'"verify"_a\s*=\s*false',
    r"verify\W+\]\s*=\s*False",
    r"CERT_NONE",
    r"check_hostname\s*=\s*False",
    r"_create_unverified_context",
    r"disable_warnings",
    r"InsecureRequestWarning",
    r"PYTHONHTTPSVERIFY",
]


def kit_sources():
    for path in sorted(SRC.rglob("*")):
        if path.suffix in (".py", ".cpp", ".hpp") and "support" not in path.parts:
            yield path


def test_no_source_turns_certificate_verification_off():
    found = [
        f"{p.relative_to(SRC)}: {m.group(0)}"
        for p in kit_sources()
        for pattern in INSECURE
        for m in re.finditer(pattern, p.read_text(encoding="utf-8"))
    ]
    assert found == []
    assert any(p.suffix == ".cpp" for p in kit_sources())


class Recording:
    """Wraps `requests` for a module: keeps every call's keyword arguments."""

    def __init__(self):
        self.exceptions = requests.exceptions
        self.kwargs = []

    def __getattr__(self, verb):
        real = getattr(requests, verb)

        def call(*args, **kwargs):
            self.kwargs.append(kwargs)
            return real(*args, **kwargs)

        return call


@pytest.fixture
def captured():
    """Every log record of every logger, as text."""
    lines = []

    class Keep(logging.Handler):
        def emit(self, record):
            lines.append(record.getMessage())

    handler = Keep(level=logging.DEBUG)
    root = logging.getLogger()
    saved = root.level
    root.addHandler(handler)
    root.setLevel(logging.DEBUG)
    yield lines
    root.removeHandler(handler)
    root.setLevel(saved)


@pytest.fixture
def account(platform):
    platform.users["secret-user"] = {"password": PASSWORD, "user_id": "30001"}
    yield platform
    platform.users.pop("secret-user", None)


def exception_texts(exc):
    return [str(exc), repr(exc), "".join(traceback.format_exception(exc))]


def assert_hidden(texts, secrets):
    for text in texts:
        for secret in secrets:
            assert secret not in text, f"secret {secret!r} in {text[:200]!r}"


def test_platform_calls_verify_certificates(account, rpc, tmp_path, monkeypatch):
    rec = Recording()
    monkeypatch.setattr(rpc, "requests", rec)
    c = account.client()
    c._token_file = str(tmp_path / "auth")
    c.login("secret-user", PASSWORD)
    c.instruments()
    assert rec.kwargs and all(
        kw.get("verify", True) is True and "cert" not in kw for kw in rec.kwargs
    )


def test_an_untrusted_certificate_is_refused(account, rpc, tmp_path, monkeypatch):
    for name in ("REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE", "SSL_CERT_FILE"):
        monkeypatch.delenv(name, raising=False)
    c = account.client()
    c._token_file = str(tmp_path / "auth")
    with pytest.raises(requests.exceptions.SSLError):
        c.login("secret-user", PASSWORD)
    assert not os.path.exists(c._token_file)


def test_platform_secrets_stay_out_of_logs_and_errors(account, rpc, fault, tmp_path, captured):
    c = account.client()
    c._token_file = str(tmp_path / "auth")
    passport = base64.b64encode(pickle.dumps(("secret-user", PASSWORD))).decode()
    errors = []

    def attempt(fn, *args):
        try:
            fn(*args)
        except Exception as exc:
            errors.append(exc)

    attempt(c.login, "secret-user", "wrong-" + PASSWORD)
    c.login("secret-user", PASSWORD)
    token = c._refresh_token
    bearer = c._get_token()
    fault(account, "instruments", "status", status=401, text="认证失败")
    attempt(c.instruments)
    account.clear_faults()
    fault(account, "instruments", "drop")
    attempt(c.instruments)
    account.clear_faults()
    c._get_token.cache_clear()
    fault(account, "login", "status", status=500, text="down")
    attempt(c._get_token)
    attempt(c.login, "secret-user", PASSWORD)
    account.clear_faults()
    attempt(getattr, c, "no_such_service")
    assert len(errors) == 6 and isinstance(errors[0], APIException)
    secrets = [PASSWORD, passport, token, bearer]
    assert_hidden([t for e in errors for t in exception_texts(e)] + captured, secrets)


@pytest.mark.parametrize("umask, existing_mode", [(0o000, None), (0o022, 0o644), (0o002, 0o666)])
def test_the_token_file_is_owner_only(account, rpc, tmp_path, umask, existing_mode):
    c = account.client()
    c._token_file = str(tmp_path / "auth")
    if existing_mode is not None:
        pathlib.Path(c._token_file).write_text("old")
        os.chmod(c._token_file, existing_mode)
    old = os.umask(umask)
    try:
        c.login("secret-user", PASSWORD)
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(c._token_file).st_mode) == 0o600


@pytest.fixture
def gateway_world(monkeypatch, account, rpc, tmp_path):
    from zentaro.mod.tradeapi.sdk import gateway_link as gl

    monkeypatch.setattr(gl.GatewayClient, "_qs_info", {})
    monkeypatch.setenv("ZENTARO_USER_ID", "30001")
    api = account.client()
    api._token_file = str(tmp_path / "auth")
    api.login("secret-user", PASSWORD)
    monkeypatch.setattr(gl, "kl_api", api)
    rec = Recording()
    monkeypatch.setattr(gl, "requests", rec)
    with BrokerDirectoryServer() as directory, GatewaySimulator() as sim:
        monkeypatch.setattr(gl.GatewayClient, "qs_info_url", directory.directory_url)
        monkeypatch.setattr(gl.GatewayClient, "qs_site_url", directory.site_url)
        for broker in directory.brokers:
            directory.set_sites(broker["qsid"], site_answer([sim.site]))
        sim.accounts["880001"]["password"] = FUTURES_PASSWORD
        yield gl, sim, rec


def test_gateway_secrets_stay_out_of_logs_and_errors(gateway_world, captured):
    gl, sim, rec = gateway_world
    client = gl.GatewayClient("青岚期货", "880001", FUTURES_PASSWORD)
    client._make_session(timeout=2)
    wrong = gl.GatewayClient("青岚期货", "880001", "wrong-" + FUTURES_PASSWORD)
    with pytest.raises(ValueError) as refused:
        wrong._make_session(timeout=2)
    assert FUTURES_PASSWORD not in vars(client).values()  # kept encrypted only
    secrets = [FUTURES_PASSWORD, client.password, wrong.password]
    assert_hidden(exception_texts(refused.value) + captured, secrets)
    assert any("880001" in line for line in captured)  # the success line was written
    assert rec.kwargs and all(kw.get("verify", True) is True for kw in rec.kwargs)


class KeepLog:
    def __init__(self):
        self.lines = []

    def info(self, tag, extra=None):
        self.lines.append(f"{tag} {extra!r}")

    error = info


def test_the_fund_token_stays_out_of_logs_and_errors(monkeypatch, captured):
    from zentaro.mod.tradeapi.api import broker_desk as bd

    broker, log = ScriptedBroker({}), KeepLog()
    monkeypatch.setattr(bd.TraderRPC, "_instance", broker)
    monkeypatch.setattr(bd, "system_log", log)
    broker.answers[samples.LOOKUP] = samples.lookup_answer(samples.account(fund_token=FUND_TOKEN))
    broker.answers[samples.FUNDS] = samples.answer([samples.funds()])
    broker.answers[1202] = {"error": {"message": "拒绝"}, "id": 3}
    broker.answers[1203] = {"result": {"Array": [{"bad": "record"}]}}
    broker.answers[1601] = {"error": {"message": "no push"}, "id": 4}
    api = bd.TradeAPI(samples.ACCOUNT)
    api.portfolio
    errors = []
    for query in (lambda: api.positions, api.get_tradelogs, lambda: api.register_push(print)):
        try:
            query()
        except TradeException as exc:
            errors.append(exc)
    assert len(errors) == 3 and log.lines
    assert_hidden(
        [t for e in errors for t in exception_texts(e)] + log.lines + captured, [FUND_TOKEN]
    )
