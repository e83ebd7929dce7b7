"""Portfolio, accounts, positions and trades of a run.

``get_state``/``set_state`` give and take the JSON bytes that a persist
provider stores, so a paper-trading view can rebuild the portfolio later.
"""

import dataclasses
import json


@dataclasses.dataclass(slots=True, eq=False)
class Trade:
    trade_id: object
    order_id: object
    symbol: str
    side: str
    quantity: float
    price: float
    commission: float
    datetime: object

    def output_json(self):
        return {
            "trade_id": self.trade_id,
            "order_id": self.order_id,
            "symbol": self.symbol,
            "side": self.side,
            "quantity": self.quantity,
            "price": self.price,
            "commission": self.commission,
            "datetime": self.datetime.strftime("%Y-%m-%d %H:%M:%S"),
        }


class Position:
    def __init__(self, symbol, quantity=0, avg_price=0.0, last_price=0.0):
        self.symbol = symbol
        self.quantity = quantity
        self.avg_price = avg_price
        self.last_price = last_price

    @property
    def market_value(self):
        return self.quantity * self.last_price

    @property
    def pnl(self):
        return (self.last_price - self.avg_price) * self.quantity

    def apply_fill(self, quantity, price):
        new_quantity = self.quantity + quantity
        if quantity > 0 and new_quantity:
            self.avg_price = (self.avg_price * self.quantity + price * quantity) / new_quantity
        elif not new_quantity:
            self.avg_price = 0.0
        self.quantity = new_quantity
        self.last_price = price

    def output_json(self):
        # A list: a futures position would give one record per direction.
        return [
            {
                "symbol": self.symbol,
                "quantity": self.quantity,
                "avg_price": round(self.avg_price, 4),
                "last_price": self.last_price,
                "market_value": round(self.market_value, 2),
                "pnl": round(self.pnl, 2),
            }
        ]

    def get_state(self):
        return {
            "quantity": self.quantity,
            "avg_price": self.avg_price,
            "last_price": self.last_price,
        }


class Account:
    def __init__(self, name, cash):
        self.name = name
        self.cash = cash
        self.positions = {}

    @property
    def market_value(self):
        return sum(p.market_value for p in self.positions.values())

    @property
    def total_value(self):
        return self.cash + self.market_value

    def position(self, symbol):
        pos = self.positions.get(symbol)
        if pos is None:
            pos = self.positions[symbol] = Position(symbol)
        return pos

    def apply_trade(self, trade):
        signed = trade.quantity if trade.side == "BUY" else -trade.quantity
        self.cash -= signed * trade.price + trade.commission
        pos = self.position(trade.symbol)
        pos.apply_fill(signed, trade.price)
        if not pos.quantity:
            del self.positions[trade.symbol]

    def update_prices(self, price_of):
        for symbol, pos in self.positions.items():
            price = price_of(symbol)
            if price is not None:
                pos.last_price = price

    def get_state(self):
        return {
            "cash": self.cash,
            "positions": {s: p.get_state() for s, p in self.positions.items()},
        }

    def set_state(self, state):
        self.cash = state["cash"]
        self.positions = {s: Position(s, **p) for s, p in state["positions"].items()}


class Portfolio:
    STOCK = "STOCK"

    def __init__(self, starting_cash):
        self.starting_cash = starting_cash
        self.accounts = {self.STOCK: Account(self.STOCK, starting_cash)}

    @property
    def cash(self):
        return sum(a.cash for a in self.accounts.values())

    available_cash = cash

    @property
    def market_value(self):
        return sum(a.market_value for a in self.accounts.values())

    @property
    def total_value(self):
        return self.cash + self.market_value

    portfolio_value = total_value

    @property
    def pnl(self):
        return self.total_value - self.starting_cash

    @property
    def positions(self):
        merged = {}
        for account in self.accounts.values():
            merged.update(account.positions)
        return merged

    def get_state(self):
        state = {
            "starting_cash": self.starting_cash,
            "accounts": {name: a.get_state() for name, a in self.accounts.items()},
        }
        return json.dumps(state).encode()

    def set_state(self, state):
        if isinstance(state, (bytes, bytearray, str)):
            state = json.loads(state)
        self.starting_cash = state["starting_cash"]
        self.accounts = {}
        for name, account_state in state["accounts"].items():
            account = Account(name, 0.0)
            account.set_state(account_state)
            self.accounts[name] = account
