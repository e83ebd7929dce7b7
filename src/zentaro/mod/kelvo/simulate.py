"""Host layer: the paper-trading simulation service (a deployment replaces this module)."""


class SimulateService:
    # Users' names for bar frequencies -> the engine's (the attribute's spelling is the platform's).
    map_frequncy = {"1d": "1d", "day": "1d", "daily": "1d", "1m": "1m", "minute": "1m"}

    def __init__(self, user_id=None, strategy_id=None, run_id=None, config=None):
        self.user_id = user_id
        self.strategy_id = strategy_id
        self.run_id = run_id
        self.config = config

    def gen_mod_config(self, config, market, capital_base):
        """The engine configuration of a paper account: ``config`` plus market and capital,
        with the simulation broker on and the kit's own plug-in off."""
        base = dict(config.get("base", {}))
        base.setdefault("frequency", "1d")
        base["market"] = market
        base["capital_base"] = capital_base
        mods = {"sys_simulation": {"enabled": True}, "kelvo": {"enabled": False}}
        return {**config, "base": base, "mod": mods}
