"""Run configuration: nested settings read as attributes (``config.base.frequency``)."""

import copy
import datetime

from corvane.events import EVENT


class Config(dict):
    """A dict whose keys also read and write as attributes."""

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        self[name] = value

    def __deepcopy__(self, memo):
        return Config({k: copy.deepcopy(v, memo) for k, v in self.items()})


def default_config():
    return {
        "base": {
            "start_date": "2023-01-03",
            "end_date": "2023-12-29",
            "frequency": "1d",
            "capital_base": 1_000_000,
            "market": "cn",
        },
        # log_key: the key the run gives the kit's logs (None: each keeps its own).
        "extra": {"enable_profiler": False, "log_key": None},
        "mod": {
            "sys_simulation": {
                "enabled": True,
                "lib": "corvane.mods.simulation",
                "class": "SimulationMod",
                "commission_rate": 0.0003,
                "min_commission": 5.0,
            },
            "kelvo": {
                "enabled": False,
                "lib": "zentaro.mod.kelvo.mod",
                "class": "KelvoMod",
                "enable_stream_sink": True,
                "daily_last_event": EVENT.POST_SETTLEMENT,
                "daily_collect_trade": True,
                "style": "NORMAL",
                "persist_provider": None,
            },
        },
    }


def _merge(base, override):
    merged = dict(base)
    for key, value in override.items():
        if isinstance(value, dict) and isinstance(merged.get(key), dict):
            merged[key] = _merge(merged[key], value)
        else:
            merged[key] = value
    return merged


def _wrap(value):
    if isinstance(value, dict):
        return Config({k: _wrap(v) for k, v in value.items()})
    return value


def _as_date(value):
    if isinstance(value, datetime.datetime):
        return value.date()
    if isinstance(value, datetime.date):
        return value
    return datetime.date.fromisoformat(str(value)[:10])


def _event(value):
    # Configuration files name events by text; the bus is keyed by members.
    if isinstance(value, str) and value in EVENT.__members__:
        return EVENT[value]
    return value


def make_config(config=None):
    """The engine's configuration: the defaults overlaid with ``config``."""
    merged = _wrap(_merge(default_config(), dict(config or {})))
    base = merged.base
    base.start_date = _as_date(base.start_date)
    base.end_date = _as_date(base.end_date)
    for mod_config in merged.mod.values():
        if isinstance(mod_config, Config) and "daily_last_event" in mod_config:
            mod_config.daily_last_event = _event(mod_config.daily_last_event)
    return merged
