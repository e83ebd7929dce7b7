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

    def __getitem__(self, symbol):
        bar = self._data_proxy.get_bar(symbol, self._dt) if self._data_proxy else None
        if bar is None:
            raise KeyError(symbol)
        return bar

    def __contains__(self, symbol):
        return bool(self._data_proxy) and self._data_proxy.get_bar(symbol, self._dt) is not None
