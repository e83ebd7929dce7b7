"""The back-test loop: one event-driven pass over the trading days of the run."""

import datetime
import importlib

from corvane.config import make_config
from corvane.environment import Environment
from corvane.events import EVENT, Event
from corvane.mod import ModHandler
from corvane.model.bar import BarMap
from corvane.profiler import FunctionProfiler

STRATEGY_FUNCS = ("init", "before_trading", "handle_bar", "after_trading")
# The kit's recorder: its two log objects count lines against a limit per run.
RUN_LOGS_MODULE = "zentaro.mod.kelvo.utils.recorder"
OPEN = datetime.time(9, 30)
CLOSE = datetime.time(15, 0)


class RunFailure(Exception):
    """A failed run as the plug-ins' tear_down sees it: the cause is ``error``."""

    def __init__(self, error):
        super().__init__(error)
        self.error = error


class Context:
    """What strategy functions receive: the run's portfolio and clock, plus their own state."""

    def __init__(self, env):
        self._env = env

    @property
    def portfolio(self):
        return self._env.portfolio

    @property
    def now(self):
        return self._env.trading_dt


def _strategy_functions(strategy, profile_deco):
    get = strategy.get if isinstance(strategy, dict) else lambda name: getattr(strategy, name, None)
    funcs = {}
    for name in STRATEGY_FUNCS:
        func = get(name) or (lambda *args: None)
        funcs[name] = profile_deco(func) if profile_deco and get(name) else func
    return funcs


class Executor:
    def __init__(self, env, funcs):
        self.env = env
        self.funcs = funcs
        self.context = Context(env)

    def publish(self, event_type, **kwargs):
        self.env.event_bus.publish_event(Event(event_type, **kwargs))

    def _set_time(self, dt):
        self.env.calendar_dt = self.env.trading_dt = dt
        self.env.bar_dict.update_dt(dt)

    def run(self, days):
        env, funcs, context = self.env, self.funcs, self.context
        env.set_bar_dict(BarMap(env.data_proxy, env.config.base.frequency))
        self.publish(EVENT.POST_SYSTEM_INIT)
        funcs["init"](context)
        self.publish(EVENT.POST_USER_INIT)
        for day in days:
            self.run_day(day)
        if env.profile_deco is not None:
            self.publish(EVENT.ON_LINE_PROFILER_RESULT)

    def run_day(self, day):
        env, funcs, context = self.env, self.funcs, self.context
        self._set_time(datetime.datetime.combine(day, OPEN))
        env.broker.before_trading()
        self.publish(EVENT.PRE_BEFORE_TRADING)
        self.publish(EVENT.BEFORE_TRADING)
        funcs["before_trading"](context)
        self._set_time(datetime.datetime.combine(day, CLOSE))
        self.publish(EVENT.PRE_BAR)
        self.publish(EVENT.BAR, bar_dict=env.bar_dict)
        funcs["handle_bar"](context, env.bar_dict)
        self.publish(EVENT.POST_BAR)
        self.publish(EVENT.AFTER_TRADING)
        funcs["after_trading"](context)
        self.publish(EVENT.PRE_SETTLEMENT)
        for account in env.portfolio.accounts.values():
            account.update_prices(lambda s: env.data_proxy.get_last_price(s, day))
        self.publish(EVENT.SETTLEMENT)
        self.publish(EVENT.POST_SETTLEMENT)
        self.persist()

    def persist(self):
        provider = self.env.persist_provider
        if provider:
            provider.store("portfolio", self.env.portfolio.get_state())
            provider.store("broker", self.env.broker.get_state())


def _start_run_logs(key):
    """Give the recorder's logs this run's key, as a platform's runner does before each
    run: ``set_key`` also restarts a log's line count, so every run may write its full
    share of lines. ``key`` None keeps the key each log has."""
    recorder = importlib.import_module(RUN_LOGS_MODULE)
    for run_log in (recorder.in_log, recorder.log):
        run_log.set_key(run_log.key if key is None else key)


def run(config=None, strategy_funcs=None, mods=None):
    """Back-test ``strategy_funcs`` (a dict or object with init, before_trading,
    handle_bar, after_trading) over the configured days.

    ``mods`` maps plug-in names to plug-in objects started besides those the
    configuration enables; each gets ``config["mod"][name]`` as its settings.
    Returns the run's summary; the environment stays current until the next run.
    """
    config = make_config(config)
    _start_run_logs(config.extra.get("log_key"))
    env = Environment(config)
    if config.extra.get("enable_profiler"):
        env.profile_deco = FunctionProfiler()
    mod_handler = ModHandler()
    mod_handler.set_env(env)
    for name, mod in (mods or {}).items():
        mod_handler.add_mod(mod, config.mod.get(name) or {}, name)
    mod_handler.start_up()
    base = config.base
    days = env.data_proxy.get_trading_dates(base.start_date, base.end_date)
    base.trading_calendar = days
    funcs = _strategy_functions(strategy_funcs or {}, env.profile_deco)
    try:
        Executor(env, funcs).run(days)
    except Exception as error:
        mod_handler.tear_down(False, RunFailure(error))
        raise
    mod_handler.tear_down(True, None)
    portfolio = env.portfolio
    return {
        "env": env,
        "trading_days": len(days),
        "total_value": portfolio.total_value,
        "cash": portfolio.cash,
        "pnl": portfolio.pnl,
    }
