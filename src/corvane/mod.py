"""Loads the engine's plug-ins for a run.

``set_env`` takes every enabled entry of ``config.mod`` (``lib`` names the
module, ``class`` the plug-in class in it); ``add_mod`` adds one more by hand.
Each plug-in is started with its own section of the configuration.
"""

import importlib

from corvane.config import Config


class ModHandler:
    def __init__(self):
        self._env = None
        self._mods = []

    def set_env(self, env):
        self._env = env
        mods = getattr(env.config, "mod", None) or {}
        for name, mod_config in mods.items():
            if isinstance(mod_config, dict) and mod_config.get("enabled") and mod_config.get("lib"):
                module = importlib.import_module(mod_config["lib"])
                mod = getattr(module, mod_config.get("class") or "load_mod")()
                self.add_mod(mod, mod_config, name)

    def add_mod(self, mod, mod_config, name=None):
        if isinstance(mod_config, dict) and not isinstance(mod_config, Config):
            mod_config = Config(mod_config)
        self._mods.append((mod, mod_config))
        if self._env is not None and name:
            self._env.mod_dict[name] = mod

    def start_up(self):
        for mod, mod_config in self._mods:
            mod.start_up(self._env, mod_config)

    def tear_down(self, success, exception=None):
        results = []
        for mod, _ in reversed(self._mods):
            results.append(mod.tear_down(success, exception))
        return results
