"""Host layer: corvane, the back-test engine framework the kit plugs into.

A small, real engine so that the kit runs out of the box; a deployment replaces it.
"""

from corvane.api.api_base import register_api


def export_as_api(obj):
    """Publish ``obj`` to strategies under its own name."""
    register_api(obj.__name__, obj)
    return obj
