"""Host layer: the platform's own event functions (a deployment replaces this module)."""


class EventFunc:
    def __init__(self, env):
        self.env = env

    def register_event(self):
        """The platform registers no event functions of its own in a local run."""
