"""A simulation broker: market orders fill at the bar's close, with a commission."""

import json

from corvane.events import EVENT, Event
from corvane.model.portfolio import Portfolio, Trade
from corvane.utils import logger


class Order:
    __slots__ = ("order_id", "symbol", "side", "quantity", "status", "datetime")

    def __init__(self, order_id, symbol, side, quantity, dt):
        self.order_id = order_id
        self.symbol = symbol
        self.side = side
        self.quantity = quantity
        self.status = "PENDING_NEW"
        self.datetime = dt

    def get_state(self):
        return {k: getattr(self, k) for k in ("order_id", "symbol", "side", "quantity", "status")}


class SimulationBroker:
    def __init__(self, env, commission_rate=0.0003, min_commission=5.0):
        self._env = env
        self.commission_rate = commission_rate
        self.min_commission = min_commission
        self._portfolio = None
        self._next_order_id = 1
        self._next_trade_id = 1
        self.orders = []

    def get_portfolio(self):
        if self._portfolio is None:
            self._portfolio = Portfolio(float(self._env.config.base.capital_base))
        return self._portfolio

    def commission(self, value):
        return max(self.min_commission, value * self.commission_rate)

    def submit_order(self, symbol, quantity):
        """Fill ``quantity`` shares (negative: sell) at the current bar's close."""
        env = self._env
        side = "BUY" if quantity > 0 else "SELL"
        order = Order(self._next_order_id, symbol, side, abs(quantity), env.trading_dt)
        self._next_order_id += 1
        self.orders.append(order)
        reason = self._rejection(order)
        if reason:
            order.status = "REJECTED"
            logger.user_system_log.warn(f"订单被拒绝: {symbol} {quantity}: {reason}")
            return order
        price = env.bar_dict[symbol].close
        trade = Trade(
            self._next_trade_id,
            order.order_id,
            symbol,
            side,
            order.quantity,
            price,
            self.commission(price * order.quantity),
            env.trading_dt,
        )
        self._next_trade_id += 1
        account = self.get_portfolio().accounts[Portfolio.STOCK]
        account.apply_trade(trade)
        order.status = "FILLED"
        env.event_bus.publish_event(Event(EVENT.TRADE, account=account, trade=trade, order=order))
        return order

    def _rejection(self, order):
        if order.quantity == 0:
            return "数量为0"
        if self._env.bar_dict is None or order.symbol not in self._env.bar_dict:
            return "无行情"
        account = self.get_portfolio().accounts[Portfolio.STOCK]
        if order.side == "BUY":
            price = self._env.bar_dict[order.symbol].close
            cost = price * order.quantity
            if cost + self.commission(cost) > account.cash:
                return "资金不足"
        else:
            held = account.positions.get(order.symbol)
            if held is None or held.quantity < order.quantity:
                return "持仓不足"
        return None

    def before_trading(self):
        self.orders = []

    def get_state(self):
        state = {
            "next_order_id": self._next_order_id,
            "next_trade_id": self._next_trade_id,
            "orders": [o.get_state() for o in self.orders],
        }
        return json.dumps(state).encode()

    def set_state_conf(self, state):
        if isinstance(state, (bytes, bytearray, str)):
            state = json.loads(state)
        self._next_order_id = state["next_order_id"]
        self._next_trade_id = state["next_trade_id"]
        self.orders = []
        for saved in state["orders"]:
            order = Order(
                saved["order_id"], saved["symbol"], saved["side"], saved["quantity"], None
            )
            order.status = saved["status"]
            self.orders.append(order)
