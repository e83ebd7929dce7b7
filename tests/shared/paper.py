"""Stand-ins for what a paper book drives (the engine's service, environment,
mod handler, bar map and state store), for the paper book's tests and its
leak loop. Each call notes itself in a journal, so tests can read the order."""

import types


class Journal(list):
    def note(self, *entry):
        self.append(entry)


class NoJournal:
    """For loops that would grow a journal without end."""

    def note(self, *entry):
        pass


def paper_fakes(journal, stored, broker_conf=True, records=None):
    """The fakes by the module's names, and the portfolio the fake broker
    gives. `stored` maps the store's keys to their states; `records` are the
    portfolio's positions."""

    class Service:
        map_frequncy = {"1d": "ENGINE_1D"}

        def __init__(self, *args):
            journal.note("service", args)

        def gen_mod_config(self, config, market, capital):
            journal.note("gen_mod_config", config, market, capital)
            return "CONFIG"

    class Portfolio:
        total_value, available_cash, market_value, pnl = 1, 2, 3, 4
        positions = records if records is not None else {}

        def set_state(self, state):
            journal.note("set_state", state)

    portfolio = Portfolio()

    class Broker:
        def get_portfolio(self):
            journal.note("get_portfolio")
            return portfolio

    if broker_conf:
        Broker.set_state_conf = lambda self, state: journal.note("set_state_conf", state)

    class Env:
        _env = None

        def __init__(self, config):
            journal.note("Environment", config)
            Env._env = self
            self.data_proxy = "PROXY"
            self.config = types.SimpleNamespace(base=types.SimpleNamespace(frequency="F"))
            self.broker = Broker()

        def set_bar_dict(self, bar_map):
            journal.note("set_bar_dict", bar_map.name)

        def __setattr__(self, name, value):
            if name in ("calendar_dt", "portfolio"):
                journal.note("env." + name)
            object.__setattr__(self, name, value)

        @classmethod
        def del_instance(cls):
            journal.note("del_instance")
            cls._env = None

    class Handler:
        def set_env(self, env):
            journal.note("set_env")

        def start_up(self):
            journal.note("start_up")

    class Bars:
        name = "BARS"

        def __init__(self, proxy, frequency):
            journal.note("BarMap", proxy, frequency)

        def update_dt(self, dt):
            journal.note("update_dt")

    class Store:
        def __init__(self, path):
            pass

        def load(self, key):
            journal.note("load", key)
            return stored.get(key)

    fakes = {
        "SimulateService": Service,
        "Environment": Env,
        "ModHandler": Handler,
        "BarMap": Bars,
        "DiskPersistProvider": Store,
    }
    return fakes, portfolio
