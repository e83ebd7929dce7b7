"""Sample brokerage records and a scripted broker client, for every test of the
trading-account module (unit, fuzz, secrets and leak tests alike)."""

import contextlib
import copy

ACCOUNT = "80001234"
TOKEN = "tok-123"
LOOKUP = 594177  # the account lookup request
FUNDS, POSITIONS, TRADES, ORDERS, INSTRUCTIONS, PUSH = 1201, 1202, 1203, 1204, 151553, 1601


def _with(row, kw):
    row.update(kw)
    return row


def account(**kw):
    return _with({"AccountID": ACCOUNT, "TradeType": "0", "fund_token": TOKEN}, kw)


def funds(**kw):
    return _with({"AvailableValue": 1, "MarketValue": 2, "TotalAssets": 3, "FrozenValue": 0}, kw)


def position(code="600000", **kw):
    row = {
        "SecurityID": code,
        "SecurityName": "名",
        "ActualAmt": 200,
        "FrozenQty": 0,
        "AvailableStockBalance": 200,
        "MarketValue": 2100.0,
        "CostPrice": 10,
        "MarketPrice": 10.5,
    }
    return _with(row, kw)


def trade(**kw):
    row = {
        "SecurityID": "000001",
        "SecurityName": "平安银行",
        "OrderID": "o1",
        "TradeVolume": 100,
        "Side": 1,
        "AvgPx": 10.2,
        "SettleDate": "20240105",
        "TransactTime": "09:31:02",
        "Commission": 5.0,
    }
    return _with(row, kw)


def broker_order(**kw):
    row = {
        "SecurityID": "830799",
        "SecurityName": "艾融",
        "OrderID": "o2",
        "OrderQty": 300,
        "Side": 0,
        "OrderPrice": 21.5,
        "OrderTypeMsg": "限价",
        "OrderDate": "2024-01-05",
        "OrderTime": "10:00:00",
        "OrderStatusMsg": "已报",
        "TradeVolume": 0,
        "AvgPx": 0.0,
    }
    return _with(row, kw)


def instruction(**kw):
    row = {
        "security": "510300",
        "instructionid": "I1",
        "orderid": "o3",
        "qty": 1000,
        "side": 0,
        "price": 3.9,
        "pricetype": 0,
        "date": "20240105",
        "time": "14:00:00",
        "statusmsg": "已成",
        "qtycancel": 0,
        "qtytrade": 1000,
        "avgpx": 3.9,
        "msg": "ok",
        "fund_token": TOKEN,
    }
    return _with(row, kw)


def pushed(**kw):
    """An order event as the broker pushes it."""
    row = {
        "SecurityID": "600519",
        "SecurityName": "贵州茅台",
        "OrderID": "p1",
        "OrderQty": 100,
        "Side": 1,
        "OrderPrice": 1650.0,
        "OrderType": 0,
        "OrderDate": "20240105",
        "OrderEntryTime": "10:15:00",
        "OrderStatusMsg": "已成",
        "TradeVolume": 100,
        "AvgPx": 1650.0,
    }
    return _with(row, kw)


# The keys of a broker order as the module gives it, in order.
ORDER_FIELDS = [
    "symbol",
    "name",
    "secondary_order_id",
    "amount",
    "side",
    "price",
    "price_type",
    "datetime",
    "status",
    "trade_amount",
    "trade_price",
]


def answer(rows, key="Array", id=3):
    return {"result": {key: rows}, "id": id}


def lookup_answer(*accounts, **extra):
    return {"result": {"Accounts": list(accounts) or [account()]}, "id": 1, **extra}


class ScriptedBroker:
    """Stands for the shared broker client. Answers by ReqType: a dict, an
    exception (a class is raised anew each time, so that no traceback piles
    up), or a function of the request. With `record`, keeps each request and a
    deep copy of it as sent; the leak loop turns that off."""

    def __init__(self, answers=None, record=True):
        self.answers = {LOOKUP: lookup_answer()} if answers is None else answers
        self.record = record
        self.sent = []  # the request objects themselves
        self.snapshots = []  # deep copies, as they were when sent
        self.callbacks = []  # registered push handlers

    def call_rpc_json(self, request):
        if self.record:
            self.sent.append(request)
            self.snapshots.append(copy.deepcopy(request))
        answer = self.answers[request["ReqType"]]
        if isinstance(answer, type) and issubclass(answer, BaseException):
            raise answer("scripted")
        if isinstance(answer, BaseException):
            raise answer
        return answer(request) if callable(answer) else answer

    def register_callback(self, handler):
        self.callbacks.append(handler)

    def types(self):
        return [r["ReqType"] for r in self.snapshots]


class RecordingLog:
    """Stands for the module's system log: keeps (level, tag, copy of extra)."""

    def __init__(self):
        self.lines = []

    def info(self, tag, extra=None):
        self.lines.append(("info", tag, copy.deepcopy(extra)))

    def error(self, tag, extra=None):
        self.lines.append(("error", tag, copy.deepcopy(extra)))


class Quiet:
    """A logger that drops everything."""

    def info(self, *args, **kwargs):
        pass

    warn = warning = error = info


class FakeClock:
    """The rate limiter's clock: time moves only when the limiter sleeps."""

    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now

    def sleep(self, seconds):
        self.now += max(seconds, 0)


@contextlib.contextmanager
def answering(rows, req_type):
    """A TradeAPI whose broker answers `rows` to `req_type`, for tests that
    cannot take fixtures (hypothesis runs them once per example)."""
    from zentaro.mod.tradeapi.api import broker_desk as bd

    client = ScriptedBroker()
    client.answers[req_type] = {"result": {"Array": rows}, "id": 1}
    saved = bd.TraderRPC._instance, bd.system_log
    bd.TraderRPC._instance, bd.system_log = client, RecordingLog()
    try:
        yield bd.TradeAPI(ACCOUNT)
    finally:
        bd.TraderRPC._instance, bd.system_log = saved


def orders_unlimited(api):
    """The account's broker orders, past the shared rate limiter."""
    return type(api).secondary_orders.__wrapped__(api)
