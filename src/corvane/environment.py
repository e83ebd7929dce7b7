"""The environment of one engine run."""

from corvane.config import Config, make_config
from corvane.events import EventBus


class Environment:
    _env = None

    def __init__(self, config):
        Environment._env = self
        self.config = config if isinstance(config, Config) else make_config(config)
        self.data_proxy = None
        self.broker = None
        self.portfolio = None
        self.event_bus = EventBus()
        self.record_dict = {}
        self.profile_deco = None
        self.bar_dict = None
        self.persist_provider = None
        self.calendar_dt = None
        self.trading_dt = None
        self.mod_dict = {}

    @classmethod
    def get_instance(cls):
        return cls._env

    @classmethod
    def del_instance(cls):
        cls._env = None

    def set_bar_dict(self, bar_dict):
        self.bar_dict = bar_dict

    def set_persist_provider(self, provider):
        self.persist_provider = provider
