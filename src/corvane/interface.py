"""Interfaces the engine's plug-ins implement."""

import abc


class AbstractMod(abc.ABC):
    @abc.abstractmethod
    def start_up(self, env, mod_config):
        raise NotImplementedError

    def tear_down(self, success, exception=None):  # noqa: B027 - optional for plug-ins
        pass
