"""Built-in plug-in: the bundled market data and the simulation broker."""

from corvane.broker import SimulationBroker
from corvane.data_proxy import DataProxy
from corvane.interface import AbstractMod


class SimulationMod(AbstractMod):
    def start_up(self, env, mod_config):
        if env.data_proxy is None:
            env.data_proxy = DataProxy()
        env.broker = SimulationBroker(
            env,
            commission_rate=mod_config.get("commission_rate", 0.0003),
            min_commission=mod_config.get("min_commission", 5.0),
        )
        env.portfolio = env.broker.get_portfolio()
