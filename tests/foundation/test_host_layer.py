"""The host layer offers every name the kit imports, and its own logic works."""

import importlib
import os
import subprocess
import sys

import pytest

HOST_NAMES = {
    "zentaro": ["__version__"],
    "zentaro.mod.kelvo.setting": ["ROOT_PATH", "INFO_PATH"],
    "zentaro.utils.exception": ["APIException", "TradeException"],
    "zentaro.utils.logger": ["system_log", "user_log"],
    "zentaro.mod.tradeapi.sdk.utils": ["NameDict"],
    "zentaro.mod.kelvo.utils.ratelimit": ["limits", "sleep_and_retry", "wraps"],
    "zentaro.mod.kelvo.utils.paths": ["get_user_id", "TempDir"],
    "zentaro.mod.kelvo.utils.wrap_utils": ["lazy_property"],
    "zentaro.mod.kelvo.errors": ["UserError", "get_error_message"],
    "zentaro.mod.tradeapi.ctp.datacollect": ["get_system_info"],
    "zentaro.mod.tradeapi.sdk.common.encryption": ["EncryptionBase64", "EncryptionDesBase64"],
    "zentaro.mod.tradeapi.sdk.client_rv": ["RavineClient"],
    "zentaro.mod.tradeapi.sdk.client": ["GatewayClient", "GatewaySession"],
    "zentaro.mod.kelvo.simulate": ["SimulateService"],
    "zentaro.mod.kelvo.api.api_comm": ["__all__"],
    "zentaro.mod.kelvo.research": ["__all__", "research_api"],
    "zentaro.mod.kelvo.research.research_api": ["__all__"],
    "zentaro.mod.kelvo.event_func": ["EventFunc"],
    "corvane": ["export_as_api"],
    "corvane.interface": ["AbstractMod"],
    "corvane.api.api_base": ["register_api"],
    "corvane.environment": ["Environment"],
    "corvane.events": ["EVENT"],
    "corvane.utils.logger": [
        "system_log",
        "user_normal_log",
        "user_log",
        "user_system_log",
        "log_tofile",
    ],
    "corvane.mod": ["ModHandler"],
    "corvane.model.bar": ["BarMap"],
    "corvane.utils.disk_persist_provider": ["DiskPersistProvider"],
}


@pytest.mark.parametrize("module", sorted(HOST_NAMES))
def test_host_module_offers_its_names(module):
    mod = importlib.import_module(module)
    for name in HOST_NAMES[module]:
        assert hasattr(mod, name), f"{module}.{name}"
    for name in getattr(mod, "__all__", []):
        assert hasattr(mod, name), f"{module}.__all__ lists missing {name}"


def test_version_is_text():
    import zentaro

    assert isinstance(zentaro.__version__, str) and zentaro.__version__


def test_settings_follow_environment(tmp_path):
    env = dict(os.environ, ZENTARO_ROOT=str(tmp_path / "r"), ZENTARO_INFO=str(tmp_path / "i"))
    code = (
        "from zentaro.mod.kelvo import setting; print(setting.ROOT_PATH); print(setting.INFO_PATH)"
    )
    out = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True
    )
    assert out.stdout.split() == [str(tmp_path / "r"), str(tmp_path / "i")]
    assert (tmp_path / "r").is_dir() and (tmp_path / "i").is_dir()


@pytest.mark.parametrize("exc", ["APIException", "TradeException"])
def test_exceptions_carry_their_text(exc):
    from zentaro.utils import exception

    err = getattr(exception, exc)("账号未登录")
    assert isinstance(err, Exception) and str(err) == "账号未登录"


def test_loggers_never_raise():
    from zentaro.utils.logger import system_log, user_log

    class Unprintable:
        def __repr__(self):
            raise RuntimeError("boom")

    system_log.info("tag", extra={"x": Unprintable()})
    system_log.error("tag", extra=None)
    user_log.info(Unprintable())


def test_name_dict_reads_keys_as_attributes():
    from zentaro.mod.tradeapi.sdk.utils import NameDict

    record = NameDict({"symbol": "600000.SH", "qty": 100})
    assert record.symbol == "600000.SH" and record["qty"] == 100 and isinstance(record, dict)
    record.qty = 200
    assert record == {"symbol": "600000.SH", "qty": 200}
    with pytest.raises(AttributeError):
        record.missing


def test_limiter_reports_with_its_message_or_lets_through():
    from zentaro.mod.kelvo.utils.ratelimit import limits

    limiter = limits(calls=1, period=60, raise_message="稍后重试")
    calls = []
    limited = limiter(lambda: calls.append(1) or "done")
    assert limited() == "done"
    with pytest.raises(Exception, match="稍后重试"):
        limited()
    limiter.raise_on_limit = False
    assert limited() is None
    assert calls == [1]


def test_des_round_trip_and_key_length():
    from zentaro.mod.tradeapi.sdk.common.encryption import EncryptionBase64, EncryptionDesBase64

    secret = EncryptionDesBase64.encode("密码123".encode(), "$%^47Qkv")
    assert isinstance(secret, bytes)
    assert EncryptionDesBase64.decode(secret.decode(), "$%^47Qkv") == "密码123"
    assert isinstance(EncryptionBase64.encode("abc"), bytes)
    with pytest.raises(ValueError):
        EncryptionDesBase64.encode(b"x", "short")


def test_lazy_property_runs_once():
    from zentaro.mod.kelvo.utils.wrap_utils import lazy_property

    class Box:
        runs = 0

        @lazy_property
        def value(self):
            Box.runs += 1
            return object()

    box = Box()
    assert box.value is box.value and Box.runs == 1


def test_user_id_from_environment_or_token(monkeypatch):
    from zentaro.mod.kelvo import setting
    from zentaro.mod.kelvo.utils import paths

    monkeypatch.setenv("ZENTARO_USER_ID", "777")
    assert paths.get_user_id() == "777"
    monkeypatch.delenv("ZENTARO_USER_ID")
    token = os.path.join(setting.ROOT_PATH, "auth")
    saved = open(token).read() if os.path.exists(token) else None
    try:
        with open(token, "w") as f:
            f.write("10086.abcdef")
        assert paths.get_user_id() == "10086"
    finally:
        if saved is None:
            os.remove(token)
        else:
            with open(token, "w") as f:
                f.write(saved)
