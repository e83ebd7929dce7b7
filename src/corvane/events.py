"""Engine events and the bus that delivers them."""

from collections import defaultdict
from enum import Enum


class EVENT(Enum):
    POST_SYSTEM_INIT = "post_system_init"
    POST_USER_INIT = "post_user_init"
    PRE_BEFORE_TRADING = "pre_before_trading"
    BEFORE_TRADING = "before_trading"
    BAR = "bar"
    TRADE = "trade"
    AFTER_TRADING = "after_trading"
    SETTLEMENT = "settlement"
    POST_SETTLEMENT = "post_settlement"
    ON_LINE_PROFILER_RESULT = "on_line_profiler_result"


class Event:
    def __init__(self, event_type, **kwargs):
        self.event_type = event_type
        self.__dict__.update(kwargs)


class EventBus:
    def __init__(self):
        self._listeners = defaultdict(list)

    def add_listener(self, event_type, handler):
        self._listeners[event_type].append(handler)

    def publish_event(self, event):
        for handler in self._listeners[event.event_type]:
            handler(event)
