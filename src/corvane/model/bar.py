"""Bars of the current dealing time."""


class BarMap:
    def __init__(self, data_proxy, frequency):
        self._data_proxy = data_proxy
        self._frequency = frequency
        self._dt = None

    def update_dt(self, dt):
        self._dt = dt

    @property
    def dt(self):
        return self._dt
