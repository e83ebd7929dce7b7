"""Engine events and the bus that delivers them.

Daily order of a back-test: PRE_BEFORE_TRADING, BEFORE_TRADING, PRE_BAR, BAR
(TRADE per fill), POST_BAR, AFTER_TRADING, PRE_SETTLEMENT, SETTLEMENT,
POST_SETTLEMENT; POST_SYSTEM_INIT and POST_USER_INIT come once before the first
day, ON_LINE_PROFILER_RESULT once after the last when profiling is on.
"""

from collections import defaultdict
from enum import Enum


class EVENT(Enum):
    POST_SYSTEM_INIT = "post_system_init"
    POST_USER_INIT = "post_user_init"
    PRE_BEFORE_TRADING = "pre_before_trading"
    BEFORE_TRADING = "before_trading"
    PRE_BAR = "pre_bar"
    BAR = "bar"
    POST_BAR = "post_bar"
    TRADE = "trade"
    AFTER_TRADING = "after_trading"
    PRE_SETTLEMENT = "pre_settlement"
    SETTLEMENT = "settlement"
    POST_SETTLEMENT = "post_settlement"
    ON_LINE_PROFILER_RESULT = "on_line_profiler_result"


class Event:
    def __init__(self, event_type, **kwargs):
        self.event_type = event_type
        self.__dict__.update(kwargs)

    def __repr__(self):
        return f"Event({self.event_type})"


class EventBus:
    def __init__(self):
        self._listeners = defaultdict(list)

    def add_listener(self, event_type, handler):
        self._listeners[event_type].append(handler)

    def publish_event(self, event):
        for handler in self._listeners.get(event.event_type, ()):
            handler(event)
