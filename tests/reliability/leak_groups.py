"""The entry points of each module for the leak loop, with in-process fakes.

Each group returns (entries, shared): entries are (label, call) pairs, where a
call makes one call of the module and checks its outcome; shared maps names to
the long-lived objects whose reference counts must not grow.
"""

import atexit
import collections
import datetime
import os
import pickle
import shutil
import tempfile
import types
import zlib

import msgpack

from shared import broker as samples
from shared.broker import Quiet, ScriptedBroker
from shared.engine import QuietBus, Trade, make_env
from shared.paper import NoJournal, paper_fakes

GROUPS = {}


def group(fn):
    GROUPS[fn.__name__] = fn
    return fn


def raises(exc_type, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{fn!r} did not raise {exc_type.__name__}")


def check(condition):
    if not condition:
        raise AssertionError("unexpected result")


def scratch_dir():
    # Memory-backed where possible: the loop writes files a hundred thousand times.
    base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    path = tempfile.mkdtemp(prefix="zentaro-leak-", dir=base)
    atexit.register(shutil.rmtree, path, True)
    return path


# ---------------------------------------------------------------- platform_rpc


class Reply:
    def __init__(self, status_code=200, content=b"", answer=None):
        self.status_code = status_code
        self.content = content
        self.answer = answer

    def json(self):
        return self.answer


class FakeRequests:
    """The module's `requests`: each call takes the next scripted reply or error."""

    def __init__(self, exceptions):
        self.exceptions = exceptions
        self.script = collections.deque()
        self.login_reply = None

    # **guard: the kit's own transport settings (redirects, streaming, proxies).
    def request(self, method, url, headers=None, timeout=None, data=None, **guard):
        step = self.script.popleft()
        if isinstance(step, type):  # a new exception each time: a raised one keeps its traceback
            raise step("scripted")
        return step

    def post(self, url, json=None, timeout=None, **guard):
        return self.login_reply


@group
def platform_rpc():
    import requests

    from zentaro.mod.kelvo.utils import platform_rpc as rpc
    from zentaro.utils.exception import APIException

    fake = FakeRequests(requests.exceptions)
    rpc.requests = fake
    home = scratch_dir()
    client = rpc.APIClient(base_url="https://127.0.0.1:9/sdk/")
    client._token_file = os.path.join(home, "auth")
    client._notice_file = os.path.join(home, "notice")
    client._refresh_token = "10086.seed"
    anonymous = rpc.APIClient(base_url="https://127.0.0.1:9/sdk/")
    anonymous._refresh_token = None
    granted = Reply(
        answer={"meta": {"code": 200, "message": "ok"}, "data": {"token": "10086.t", "notice": "n"}}
    )
    refused = Reply(answer={"meta": {"code": 401, "message": "no"}, "data": None})
    value = {"rows": [1, 2.5, "三", None, b"raw"], "n": 3}
    packed = Reply(content=pickle.dumps(zlib.compress(msgpack.packb(value))))
    pickled = Reply(content=pickle.dumps(zlib.compress(pickle.dumps({1, 2, 3}))))
    failed = Reply(status_code=500, content="服务错误".encode())
    garbage = Reply(content=b"\x00not a pickle")
    timeout = requests.exceptions.ReadTimeout
    refused_conn = requests.exceptions.ConnectionError

    def call(*script, **kwargs):
        fake.login_reply = granted
        fake.script.extend(script)
        return client.instruments(**kwargs)

    def token_refresh():
        client._get_token.cache_clear()
        fake.login_reply = granted
        check(client._get_token() == "10086.t")

    def token_refused():
        client._get_token.cache_clear()
        fake.login_reply = refused
        raises(APIException, client._get_token)
        client._refresh_token = "10086.seed"

    def login_logout():
        fake.login_reply = granted
        check(client.login("demo", "demo-pass") is True)
        check(client.logout() is None)
        check(client.logout() is False)

    def login_refused():
        fake.login_reply = refused
        raises(APIException, client.login, "demo", "wrong")

    entries = [
        (
            "service call, MessagePack answer",
            lambda: check(call(packed, order_book_ids=["a"]) == value),
        ),
        ("service call, pickle answer", lambda: check(call(pickled) == {1, 2, 3})),
        ("service call, error status", lambda: raises(APIException, call, failed)),
        ("service call, time-out then answer", lambda: check(call(timeout, packed) == value)),
        (
            "service call, time-outs to the end",
            lambda: raises(requests.exceptions.ReadTimeout, call, timeout, timeout),
        ),
        (
            "service call, connection error",
            lambda: raises(requests.exceptions.ConnectionError, call, refused_conn),
        ),
        ("service call, garbage answer", lambda: raises(pickle.UnpicklingError, call, garbage)),
        (
            "service call, headers not a mapping",
            lambda: raises(TypeError, client._request, "POST", "p", 5),
        ),
        ("unknown service name", lambda: raises(APIException, getattr, client, "no_such_service")),
        ("service lookup", lambda: check(callable(client.get_fundamentals))),
        ("token refresh", token_refresh),
        ("token refresh refused", token_refused),
        ("service call without login", lambda: raises(APIException, anonymous.instruments)),
        ("login and logout", login_logout),
        ("login refused", login_refused),
        ("handle response", lambda: check(client._handle_response(packed) == value)),
        (
            "construction",
            lambda: check(rpc.APIClient("utf-8", "https://h/sdk/").base_url == "https://h/sdk/"),
        ),
    ]
    shared = {
        "kl_api": rpc.kl_api,
        "APIClient": rpc.APIClient,
        "request_methods": rpc.APIClient.request_methods,
        "instruments entry": rpc.APIClient.request_methods["instruments"],
        "APIException": APIException,
        "client": client,
        "module": rpc,
        "reply": packed,
        "value": value,
        "granted": granted,
    }
    return entries, shared


# ---------------------------------------------------------------- deferred_import


@group
def deferred_import():
    import json

    from zentaro.mod.kelvo.utils.deferred_import import DeferredImport

    proxy = DeferredImport("json")
    dumps = DeferredImport("json.dumps")
    entries = [
        ("construction", lambda: check(DeferredImport("os.path").module_path == "os.path")),
        ("module", lambda: check(proxy.module is json)),
        ("forwarded attribute", lambda: check(proxy.dumps is json.dumps)),
        ("call", lambda: check(dumps([1]) == "[1]")),
        (
            "first use of a fresh path",
            lambda: (
                DeferredImport.IMPORTED_MODULE.pop("os.sep", None),
                check(DeferredImport("os.sep").module == os.sep),
            ),
        ),
        (
            "missing module",
            lambda: raises(ModuleNotFoundError, getattr, DeferredImport("zz_no_such_mod"), "x"),
        ),
        (
            "missing attribute",
            lambda: raises(AttributeError, getattr, DeferredImport("json.no_such"), "module"),
        ),
        ("empty path", lambda: raises(ValueError, DeferredImport(""))),
        (
            "path that is not text",
            lambda: raises(AttributeError, getattr, DeferredImport(None), "module"),
        ),
    ]
    shared = {
        "DeferredImport": DeferredImport,
        "IMPORTED_MODULE": DeferredImport.IMPORTED_MODULE,
        "json": json,
        "json.dumps": json.dumps,
        "proxy": proxy,
    }
    return entries, shared


# ---------------------------------------------------------------- gateway_link


class GatewayRequests:
    def __init__(self, directory, sites):
        self.directory = Reply(content=directory)
        self.sites = sites

    def get(self, url, timeout=None, **guard):
        if url.endswith(".xml"):
            return self.directory
        return Reply(answer=self.sites)


class FakeSession:
    answer = None

    def __init__(self, **kwargs):
        pass

    def protocol_comfirm(self):
        pass

    protocol_auth = protocol_comfirm

    def client_auth(self, auth_code=None):
        pass

    def client_login(self, user_id, name):
        pass

    def request_json(self, meta=None, args=None):
        return FakeSession.answer


@group
def gateway_link():
    import xml.etree.ElementTree as ET

    import zentaro
    from zentaro.mod.tradeapi.sdk import gateway_link as gl
    from zentaro.mod.tradeapi.sdk.client import GatewayMeta
    from zentaro.support import platform_data
    from zentaro.support.broker_directory import DEFAULT_BROKERS, directory_xml, site_answer

    os.environ["ZENTARO_USER_ID"] = "10086"
    grant = platform_data.futures_authorisation("10086", zentaro.__version__)
    # The host layer's cipher and data collector cost more than the module's
    # own work: plain stand-ins keep the loop on the module.
    gl.EncryptionDesBase64 = types.SimpleNamespace(
        encode=lambda data, key: b"ZW5j", decode=lambda text, key: "code"
    )
    gl.datacollect = types.SimpleNamespace(get_system_info=lambda: "info")
    gl.EncryptionBase64 = types.SimpleNamespace(encode=lambda value: b"aW5mbw==")
    gl.difflib = types.SimpleNamespace(  # the name match itself is fuzzed elsewhere
        get_close_matches=lambda word, names, n, cutoff: [
            name for name in names if word and name[:2] == word[:2]
        ][:n]
    )
    gl.kl_api = types.SimpleNamespace(trade_api=lambda **kw: grant)
    gl.GatewaySession = FakeSession
    gl.user_log = Quiet()
    gl.random = types.SimpleNamespace(choice=lambda seq: seq[0])
    good = GatewayRequests(
        directory_xml(DEFAULT_BROKERS), site_answer([{"ip": "127.0.0.1", "port": "9"}])
    )
    broken = GatewayRequests(b"<brokers><broker", {"code": 1, "data": []})
    no_code = GatewayRequests(b"<brokers/>", {"data": []})
    cls = gl.GatewayClient
    ok = (GatewayMeta(0, b""), {"login": {"investor_key": 10300}})
    refused = (GatewayMeta(7, "拒绝".encode()), {})
    low_key = (GatewayMeta(0, b""), {"login": {"investor_key": 12}})
    client = cls("青岚期货", "880001", "futures-pass")
    client.call_rpc_json = lambda *args, **kwargs: (args, kwargs)

    def using(requests, fn, *args):
        gl.requests = requests
        return fn(*args)

    def fresh_directory():
        cls._qs_info = {}
        check(len(using(good, cls.get_qs_info)) == 3)

    def session(answer):
        FakeSession.answer = answer
        return client._make_session()

    entries = [
        ("directory download", fresh_directory),
        ("cached directory", lambda: check(len(cls.get_qs_info()) == 3)),
        (
            "broken directory",
            lambda: (
                setattr(cls, "_qs_info", {}),
                raises(ET.ParseError, using, broken, cls.get_qs_info),
            ),
        ),
        ("site list", lambda: check(len(using(good, cls.get_qs_site, "1001")) == 1)),
        ("no site", lambda: raises(ValueError, using, broken, cls.get_qs_site, "1001")),
        (
            "site answer without code",
            lambda: raises(KeyError, using, no_code, cls.get_qs_site, "1001"),
        ),
        (
            "site selection",
            lambda: check(using(good, cls.select_site_auto, "青岚")[1]["port"] == 9),
        ),
        (
            "no broker matches",
            lambda: (fresh_directory(), raises(ValueError, cls.select_site_auto, "")),
        ),
        ("fingerprint", lambda: check(len(cls.get_system_info()) == 2)),
        ("construction", lambda: check(cls("北辰期货", "1", "p")._investor_key == 0)),
        ("login", lambda: (using(good, session, ok), check(client._service_type == 8))),
        ("refused login", lambda: raises(ValueError, using, good, session, refused)),
        ("investor key too small", lambda: raises(ValueError, using, good, session, low_key)),
        ("answer shaping", lambda: check(client.make_return(GatewayMeta(0, b"ok"), 5)["success"])),
        (
            "rpc call",
            lambda: check(client.call_rpc("query", {"a": 1})[0][0] == "rpc.trader.futures"),
        ),
    ]
    shared = {
        "GatewayClient": cls,
        "client": client,
        "grant": grant,
        "kl_api": gl.kl_api,
        "module": gl,
        "session class": FakeSession,
        "system_log": gl.system_log,
    }
    return entries, shared


# ---------------------------------------------------------------- query_text


@group
def query_text():
    import sys

    from zentaro.mod.kelvo.research.normal_query import query_text as qt

    field = qt.valuation.pe
    loop = []
    loop.append(loop)
    values = [
        1,
        2.5,
        "a'b",
        None,
        True,
        (1, "x"),
        {"k": 1},
        b"ab",
        datetime.date(2024, 1, 2),
        qt.income.eps,
    ]

    def every_builder():
        for value in values:
            check(field == value)
            check(field != value)
            check(field < value)
            check(field.in_(value))
            check(field.all_(value))

    def endless_value():
        limit = sys.getrecursionlimit()
        sys.setrecursionlimit(40)
        try:
            raises(RecursionError, field.in_, loop)
        finally:
            sys.setrecursionlimit(limit)

    def query():
        q = (
            qt.StrQuery(qt.valuation.pe, qt.income)
            .filter(field > 1, field.is_(None))
            .limit(10)
            .offset(5)
        )
        check(
            str(q) == "query(valuation.pe, income).filter(valuation.pe>1, valuation.pe.is_(None))"
            ".limit(10).offset(5)"
        )

    entries = [
        ("condition builders", every_builder),
        (
            "field from a table",
            lambda: check(str(qt.balance.total_assets) == "balance.total_assets"),
        ),
        ("query text", query),
        ("value encoding", lambda: check(field._encode([1, "a"], 0) == [1, "a"])),
        ("filter that is not text", lambda: raises(TypeError, str, qt.StrQuery().filter(1))),
        ("table name that is not text", lambda: raises(TypeError, str, qt.StrModel(5))),
        ("value without end", endless_value),
    ]
    shared = {
        "valuation": qt.valuation,
        "income": qt.income,
        "StrModelAttr": qt.StrModelAttr,
        "StrModel": qt.StrModel,
        "StrQuery": qt.StrQuery,
        "module": qt,
        "loop": loop,
    }
    return entries, shared


# ---------------------------------------------------------------- recorder, stream_sink, mod


def quiet_recorder():
    from zentaro.mod.kelvo.utils import recorder

    recorder.user_normal_log = Quiet()
    recorder.system_log = Quiet()
    recorder.log.set_limited("info", False)
    return recorder


@group
def recorder():
    import json

    rec = quiet_recorder()
    keyed = rec.ShowLog()
    keyed.set_key("run-1")

    def error_inside_handler(log, reraises):
        try:
            raise KeyError("handled")
        except KeyError:
            if reraises:
                raises(KeyError, log.error, "line")
            else:
                check(log.error({"line": 1}) is None)

    entries = [
        ("show info", lambda: rec.log.info("a", 1, None)),
        ("show warn", lambda: rec.log.warn("w")),
        ("show error", lambda: error_inside_handler(rec.log, True)),
        ("show error outside a handler", lambda: check(rec.log.error("e") is None)),
        ("back-test info", lambda: rec.in_log.info({"i": 1}, type="RECORD")),
        ("back-test error", lambda: error_inside_handler(rec.in_log, False)),
        ("keyed info", lambda: keyed.info("counted, not written")),
        ("set key", lambda: (keyed.set_key(b"run-2"), keyed.set_key("run-1"))),
        ("set key that cannot be encoded", lambda: raises(Exception, keyed.set_key, None)),
        ("set limited", lambda: rec.log.set_limited("INFO", False)),
        ("set limited with no name", lambda: raises(AttributeError, rec.log.set_limited, 5)),
        ("to file while keyed", lambda: check(keyed.set_tofile("x.log") is False)),
        ("abstract info", lambda: raises(NotImplementedError, rec.Log().info, "x")),
        (
            "encoder",
            lambda: check(
                json.dumps({"d": datetime.date(2024, 1, 2)}, cls=rec.LogEncoder)
                == '{"d": "2024-01-02"}'
            ),
        ),
        (
            "time stamp decorator",
            lambda: check(rec.logtime_support("calendar_dt")(lambda **kw: 1)() is None),
        ),
    ]
    shared = {
        "in_log": rec.in_log,
        "log": rec.log,
        "LIMIT_MSG": rec.Log.LIMIT_MSG,
        "ShowLog": rec.ShowLog,
        "BacktestLog": rec.BacktestLog,
        "module": rec,
        "keyed": keyed,
    }
    return entries, shared


def engine_env():
    env = make_env(bus=QuietBus())
    env.set_persist_provider = lambda provider: None
    return env


@group
def stream_sink():
    from corvane.events import EVENT

    quiet_recorder()
    from zentaro.mod.kelvo import stream_sink as ss
    from zentaro.mod.kelvo.utils import paths

    class NoDir:  # the scratch folder of the profile output, without the disk
        def __enter__(self):
            return "."

        def __exit__(self, *exc):
            return False

    ss.TempDir = NoDir
    env = engine_env()
    sink = ss.StreamSink(env, EVENT.POST_SETTLEMENT)
    loose = ss.StreamSink(env, EVENT.POST_SETTLEMENT, False, "OTHER")
    trade = types.SimpleNamespace(trade=Trade(1))
    empty = types.SimpleNamespace(trade=None)
    broken = types.SimpleNamespace(trade=types.SimpleNamespace())

    def record():
        env.record_dict = {"r": 1}
        sink.output_record(None)
        check(env.record_dict == {})

    entries = [
        (
            "construction and registration",
            lambda: ss.StreamSink(env, EVENT.POST_SETTLEMENT).register_event(),
        ),
        ("system init", lambda: sink.system_init(None)),
        ("first record", lambda: sink.process_init(None)),
        ("day start", lambda: sink.trade_init(None)),
        ("trade collected", lambda: sink.trade_add(trade)),
        ("trade written", lambda: loose.trade_add(trade)),
        ("no trade", lambda: sink.trade_add(empty)),
        ("trade without output", lambda: raises(AttributeError, sink.trade_add, broken)),
        ("settlement", lambda: sink.backtest_trade_data(None)),
        ("settlement, other style", lambda: loose.backtest_trade_data(None)),
        ("user record", record),
        ("profile", lambda: sink.output_profile(None)),
        ("result record", lambda: check(len(sink.get_backtest_data()) == 6)),
    ]
    shared = {
        "StreamSink": ss.StreamSink,
        "sink": sink,
        "env": env,
        "trade_log": sink.trade_log,
        "in_log": ss.in_log,
        "log": ss.log,
        "TempDir": paths.TempDir,
    }
    return entries, shared


@group
def mod():
    quiet_recorder()
    from corvane.events import EVENT
    from zentaro.mod.kelvo import mod as km
    from zentaro.mod.kelvo.errors import UserError

    env = engine_env()
    with_stream = types.SimpleNamespace(
        enable_stream_sink=True,
        daily_last_event=EVENT.POST_SETTLEMENT,
        daily_collect_trade=True,
        style="NORMAL",
        persist_provider=object(),
    )
    without = types.SimpleNamespace(enable_stream_sink=False, persist_provider=None)
    failure = types.SimpleNamespace(error=ValueError("boom"))
    plug = km.KelvoMod()
    entries = [
        ("construction", lambda: check(km.KelvoMod()._env is None)),
        ("start-up with the stream", lambda: plug.start_up(env, with_stream)),
        ("start-up without", lambda: plug.start_up(env, without)),
        (
            "start-up with a broken config",
            lambda: raises(AttributeError, plug.start_up, env, object()),
        ),
        ("tear-down", lambda: check(plug.tear_down(True) is None)),
        ("tear-down of a failed run", lambda: raises(UserError, plug.tear_down, False, failure)),
    ]
    shared = {
        "KelvoMod": km.KelvoMod,
        "plug": plug,
        "env": env,
        "config": with_stream,
        "module": km,
    }
    return entries, shared


# ---------------------------------------------------------------- broker_desk


@group
def broker_desk():
    from zentaro.mod.tradeapi.api import broker_desk as bd
    from zentaro.mod.tradeapi.sdk.utils import NameDict
    from zentaro.utils.exception import TradeException

    order = samples.broker_order()
    pushed = samples.pushed()
    broker = ScriptedBroker(
        {
            samples.LOOKUP: samples.lookup_answer(),
            samples.FUNDS: samples.answer([samples.funds()]),
            samples.POSITIONS: samples.answer([samples.position()]),
            samples.TRADES: {"error": {"message": "拒绝"}, "id": 3},
            samples.ORDERS: samples.answer([order]),
            samples.INSTRUCTIONS: samples.answer([samples.instruction()], key="orders"),
            samples.PUSH: {"result": {"ok": 1}},
        },
        record=False,  # a hundred thousand rounds: keep nothing
    )
    bd.TraderRPC._instance = broker
    bd.system_log = Quiet()
    limiter = bd.TradeAPI.secondary_orders._limiter
    limiter.clock = lambda: 0.0
    api = bd.TradeAPI(samples.ACCOUNT)
    missing = bd.TradeAPI("99999999")

    def orders():
        limiter.num_calls, limiter.last_reset = 0, -1e9
        check(type(api.secondary_orders()[0]) is NameDict)
        raises(Exception, api.secondary_orders)  # the limiter's refusal
        check(api.secondary_orders(raise_on_limit=False) is None)

    def push():
        broker.callbacks.clear()
        api.register_push(lambda rec: rec)
        check(type(broker.callbacks[0]("entrustret", {"params": pushed})) is NameDict)
        raises(KeyError, broker.callbacks[0], "entrustret", {})

    def lifecycle():
        short = bd.TradeAPI(samples.ACCOUNT)
        check(type(short.portfolio) is NameDict)
        short.__del__()
        short.__del__()

    entries = [
        ("funds", lambda: check(type(api.portfolio) is NameDict)),
        ("positions", lambda: check(len(api.positions) == 1)),
        ("trades refused", lambda: raises(TradeException, api.get_tradelogs)),
        ("broker orders and the rate limit", orders),
        ("instructions", lambda: check(len(api.get_orders("I1", "2024-01-01", "2024-01-05")) == 1)),
        (
            "unknown account",
            lambda: (
                setattr(missing, "_account_token", None),
                raises(TradeException, lambda: missing.positions),
            ),
        ),
        ("order push", push),
        ("construction and finaliser", lifecycle),
    ]
    shared = {
        "TradeAPI": bd.TradeAPI,
        "broker": broker,
        "api": api,
        "limiter": limiter,
        "module": bd,
        "NameDict": NameDict,
        "order": order,
    }
    return entries, shared


# ---------------------------------------------------------------- side_store


@group
def side_store():
    import pandas as pd

    from zentaro.mod.kelvo.data import side_store as ss
    from zentaro.utils.exception import APIException

    # A real folder: the store writes through a temporary file of its own.
    # In memory where the machine has it: every write is synced, and a disk
    # that takes a millisecond per sync would make the loop a matter of disk speed.
    memory = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    root = tempfile.mkdtemp(prefix="zentaro-leak-", dir=memory)
    atexit.register(shutil.rmtree, root, True)
    ss.setting = types.SimpleNamespace(INFO_PATH=root)
    frame = pd.DataFrame({"a": [1, 2]})
    server = types.SimpleNamespace(answer=frame)

    def side_store_call(sql):
        if isinstance(server.answer, type):
            raise server.answer("scripted")
        return server.answer

    ss.kl_api = types.SimpleNamespace(side_store=side_store_call)
    store = ss.SideStore().__enter__()

    def files():
        return [os.path.join(store.path, name) for name in os.listdir(store.path)]

    def miss(answer=frame):
        for path in files():
            os.remove(path)
        server.answer = answer
        return store.read("select 1")

    def damaged():
        (path,) = files()
        with open(path, "wb") as f:
            f.write(b"torn")
        raises(ValueError, store.read, "select 1")

    entries = [
        ("miss", lambda: check(miss() is frame)),
        ("hit", lambda: check(store.read("select 1").equals(frame))),
        ("server error", lambda: raises(APIException, miss, APIException)),
        (
            "answer that is not a frame",
            lambda: (raises(TypeError, miss, [1]), check(not files())),
        ),
        ("damaged file", lambda: (miss(), damaged())),
        ("sql that is not text", lambda: raises(TypeError, store.read, None)),
        ("sql that cannot be encoded", lambda: raises(UnicodeEncodeError, store.read, "\ud800")),
        (
            "construction and block",
            lambda: check(ss.SideStore().__exit__(None, None, None) is None),
        ),
    ]
    shared = {"SideStore": ss.SideStore, "store": store, "frame": frame, "module": ss}
    return entries, shared


# ---------------------------------------------------------------- paper_book


@group
def paper_book():
    from zentaro.mod.kelvo.modules.zrcelery_utils import paper_book as pb

    class Position:
        def output_json(self):
            return iter([{"n": 1}, {"n": 2}])

    stored = {"portfolio": {"state": "portfolio"}, "broker": {"state": "broker"}}
    fakes, portfolio = paper_fakes(NoJournal(), stored, records={"a": Position()})
    for name, value in fakes.items():
        setattr(pb, name, value)
    Env = fakes["Environment"]

    def view():
        book = pb.PaperBook("CN", "1d", "p", 5, "/memory")
        check(book.total_asset_value == 1 and book.ending_cash == 2 and book.market_value == 3)
        check(book.profit_and_loss == 4 and len(book.positions) == 2)
        book.__del__()

    entries = [
        ("view", view),
        (
            "unknown frequency",
            lambda: raises(KeyError, lambda: pb.PaperBook("CN", "9w", 1, 1, "/m").portfolio),
        ),
        (
            "market that is not text",
            lambda: raises(AttributeError, lambda: pb.PaperBook(7, "1d", 1, 1, "/m").portfolio),
        ),
    ]
    shared = {"PaperBook": pb.PaperBook, "module": pb, "portfolio": portfolio, "Env": Env}
    return entries, shared
