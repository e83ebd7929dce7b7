"""zentaro: the client-side kit of the zentaro quantitative-trading platform."""

__version__ = "0.4.0"
