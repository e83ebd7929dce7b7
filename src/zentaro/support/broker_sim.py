"""Host layer: an in-process simulated brokerage account.

It answers the trading RPC's request dicts (funds, positions, trades, broker
orders, order instructions, the account lookup and the order-push
subscription) from a small book that orders placed through ``place_order``
change. Every fill is published as pushed order events through ``publish``,
which the owning client sets.
"""

import datetime
import itertools
import threading
import uuid

SAMPLE_ACCOUNT_ID = "80001234"

_NAMES = {
    "600000": "浦发银行",
    "600519": "贵州茅台",
    "000001": "平安银行",
    "300750": "宁德时代",
    "688981": "中芯国际",
    "510300": "沪深300ETF",
    "830799": "艾融软件",
}

_STATUS = {"reported": "已报", "filled": "已成", "cancelled": "已撤"}
_PRICE_TYPE_TEXT = {0: "限价", 3: "市价"}
_BUY_SIDES = {0, 6, 9, 16}


def _today():
    return datetime.date.today().strftime("%Y%m%d")


def _now():
    return datetime.datetime.now().strftime("%H:%M:%S")


class SimulatedBrokerage:
    """One brokerage with one sample cash account (and a margin account of the same id)."""

    def __init__(self, account_id=SAMPLE_ACCOUNT_ID, cash=1_000_000.0):
        self._lock = threading.RLock()
        self._ids = itertools.count(1)
        self.account_id = account_id
        self.fund_token = uuid.uuid4().hex
        self.accounts = [
            {"AccountID": account_id, "TradeType": "1", "fund_token": uuid.uuid4().hex},
            {"AccountID": account_id, "TradeType": "0", "fund_token": self.fund_token},
        ]
        self.cash = cash
        self.frozen = 0.0
        self.prices = {
            "600000": 7.85,
            "600519": 1650.0,
            "000001": 10.42,
            "300750": 188.3,
            "688981": 52.6,
            "510300": 3.912,
            "830799": 21.5,
        }
        self.holdings = {}  # code -> [amount, cost price]
        self.trades = []
        self.orders = []
        self.instructions = []
        self.subscribers = set()
        self.publish = None  # set by the client: publish(first, event)
        self._seed()

    # ---- the book ----

    def _seed(self):
        for code, side, qty in (
            ("600000", 0, 10000),
            ("000001", 0, 5000),
            ("688981", 0, 800),
            ("600000", 1, 2000),
        ):
            self.place_order(self.fund_token, code, side, qty, self.prices[code])
        self.prices.update({"600000": 8.02, "000001": 10.15, "688981": 55.1})

    def place_order(self, fund_token, code, side, qty, price, price_type=0):
        """Place an order that fills at once; returns its instruction id."""
        with self._lock:
            self._check_order(fund_token, code, side, qty, price)
            order_id = f"{next(self._ids):08d}"
            instruction_id = "I" + order_id
            date, time = _today(), _now()
            order = {
                "SecurityID": code,
                "SecurityName": _NAMES.get(code, code),
                "OrderID": order_id,
                "OrderQty": qty,
                "Side": side,
                "OrderPrice": price,
                "OrderType": price_type,
                "OrderTypeMsg": _PRICE_TYPE_TEXT.get(price_type, "其他"),
                "OrderDate": date,
                "OrderTime": time,
                "OrderEntryTime": time,
                "OrderStatusMsg": _STATUS["reported"],
                "TradeVolume": 0,
                "AvgPx": 0.0,
            }
            self.orders.append(order)
            self._push(order)
            self._fill(order, date, time)
            self.instructions.append(
                {
                    "security": code,
                    "instructionid": instruction_id,
                    "orderid": order_id,
                    "qty": qty,
                    "side": side,
                    "price": price,
                    "pricetype": price_type,
                    "date": date,
                    "time": time,
                    "statusmsg": order["OrderStatusMsg"],
                    "qtycancel": 0,
                    "qtytrade": qty,
                    "avgpx": price,
                    "msg": "",
                    "fund_token": fund_token,
                }
            )
            return instruction_id

    def _check_order(self, fund_token, code, side, qty, price):
        if fund_token != self.fund_token:
            raise ValueError("unknown fund token")
        if qty <= 0 or price <= 0:
            raise ValueError("quantity and price must be positive")
        if side in _BUY_SIDES:
            if qty * price > self.cash:
                raise ValueError("insufficient cash")
        elif self.holdings.get(code, [0, 0.0])[0] < qty:
            raise ValueError("insufficient position")

    def _fill(self, order, date, time):
        code, qty, price = order["SecurityID"], order["OrderQty"], order["OrderPrice"]
        commission = round(max(5.0, qty * price * 0.00025), 2)
        amount, cost = self.holdings.get(code, [0, 0.0])
        if order["Side"] in _BUY_SIDES:
            self.cash -= qty * price + commission
            cost = (amount * cost + qty * price) / (amount + qty)
            amount += qty
        else:
            self.cash += qty * price - commission
            amount -= qty
        if amount:
            self.holdings[code] = [amount, round(cost, 4)]
        else:
            self.holdings.pop(code, None)
        self.prices.setdefault(code, price)
        order.update(TradeVolume=qty, AvgPx=price, OrderStatusMsg=_STATUS["filled"])
        self.trades.append(
            {
                "SecurityID": code,
                "SecurityName": order["SecurityName"],
                "OrderID": order["OrderID"],
                "TradeVolume": qty,
                "Side": order["Side"],
                "AvgPx": price,
                "SettleDate": date,
                "TransactTime": time,
                "Commission": commission,
            }
        )
        self._push(order)

    def _push(self, order):
        if self.publish is not None and self.fund_token in self.subscribers:
            self.publish("entrustret", {"params": dict(order)})

    # ---- answers ----

    def funds(self):
        market_value = sum(a * self.prices[c] for c, (a, _) in self.holdings.items())
        return [
            {
                "AvailableValue": round(self.cash, 2),
                "MarketValue": round(market_value, 2),
                "TotalAssets": round(self.cash + self.frozen + market_value, 2),
                "FrozenValue": self.frozen,
            }
        ]

    def positions(self):
        rows = []
        for code, (amount, cost) in self.holdings.items():
            price = self.prices[code]
            rows.append(
                {
                    "SecurityID": code,
                    "SecurityName": _NAMES.get(code, code),
                    "ActualAmt": amount,
                    "FrozenQty": 0,
                    "AvailableStockBalance": amount,
                    "MarketValue": round(amount * price, 2),
                    "CostPrice": cost,
                    "MarketPrice": price,
                    "NetMoney": 0,
                }
            )
        return rows

    def find_instructions(self, params):
        wanted = params.get("instructionid")
        start, end = params.get("startdate"), params.get("enddate")
        found = []
        for row in self.instructions:
            if wanted is not None and row["instructionid"] != wanted:
                continue
            stamp = "{}-{}-{} {}".format(
                row["date"][:4], row["date"][4:6], row["date"][6:], row["time"]
            )
            if start and end and not start <= stamp <= end:
                continue
            found.append(row)
        return found

    # ---- the RPC ----

    def __call__(self, request):
        """Answer one request dict of the trading RPC."""
        with self._lock:
            rid = next(self._ids)
            try:
                result = self._dispatch(request)
            except (KeyError, TypeError, ValueError) as exc:
                return {"id": rid, "error": {"message": f"请求无效: {exc}"}, "msg": str(exc)}
            return {"id": rid, "result": result}

    def _dispatch(self, request):
        req_type, params = request["ReqType"], request["params"]
        if req_type == 594177 and params.get("action") == "getOnlineAccount":
            return {"Accounts": [dict(a) for a in self.accounts]}
        if params.get("fund_token") != self.fund_token:
            raise ValueError("资金账号令牌无效")
        if req_type == 1601 and params.get("action") == "subscribe":
            self.subscribers.add(params["fund_token"])
            return {"Subkey": params["Subkey"]}
        if req_type == 151553 and request.get("method") == "new_instmanage":
            return {"orders": [dict(r) for r in self.find_instructions(params)]}
        tables = {
            (1201, 500016): self.funds,
            (1202, 500015): self.positions,
            (1203, 500014): lambda: [dict(t) for t in self.trades],
            (1204, 500013): lambda: [dict(o) for o in self.orders],
        }
        if request.get("method") != "stockqmx" or (req_type, params.get("FunID")) not in tables:
            raise ValueError(f"unknown request {req_type}")
        return {"Array": tables[req_type, params["FunID"]]()}
