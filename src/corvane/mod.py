"""Loads the engine's plug-ins for a run."""


class ModHandler:
    def __init__(self):
        self._env = None
        self._mods = []

    def set_env(self, env):
        self._env = env

    def add_mod(self, mod, mod_config):
        self._mods.append((mod, mod_config))

    def start_up(self):
        for mod, mod_config in self._mods:
            mod.start_up(self._env, mod_config)

    def tear_down(self, success, exception=None):
        results = []
        for mod, _ in reversed(self._mods):
            results.append(mod.tear_down(success, exception))
        return results
