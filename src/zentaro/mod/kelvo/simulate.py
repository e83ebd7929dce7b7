"""Host layer: the paper-trading simulation service (a deployment replaces this module)."""

_FREQUENCIES = {"1d": "1d", "day": "1d", "daily": "1d", "1m": "1m", "minute": "1m"}


class SimulateService:
    def __init__(self, user_id=None, strategy_id=None, run_id=None, config=None):
        self.user_id = user_id
        self.strategy_id = strategy_id
        self.run_id = run_id
        self.config = config

    def map_frequncy(self, frequency):
        return _FREQUENCIES.get(frequency, frequency)

    def gen_mod_config(self, config, market, capital_base):
        base = dict(config.get("base", {}))
        base.setdefault("frequency", self.map_frequncy(base.get("frequency", "1d")))
        base["market"] = market
        base["capital_base"] = capital_base
        return {**config, "base": base}
