"""The user API of strategies: orders, records and the user logger.

Strategies import these names; they act on the current run's environment.
"""

from corvane.api.api_base import apis, register_api
from corvane.environment import Environment
from corvane.utils.logger import user_log as logger

__all__ = ["order_shares", "record", "logger", "apis", "register_api"]


def order_shares(symbol, amount):
    """Buy (amount > 0) or sell (amount < 0) shares at the current bar's close."""
    return Environment._env.broker.submit_order(symbol, int(amount))


def record(**values):
    """Add values to the day's user record."""
    Environment._env.record_dict.update(values)
