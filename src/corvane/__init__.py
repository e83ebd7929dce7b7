"""Host layer: corvane, the back-test engine framework the kit plugs into.

A small, real engine so that the kit runs out of the box; a deployment replaces it.
``corvane.run(config, strategy_funcs, mods=...)`` runs one back-test.
"""

from corvane.api.api_base import register_api


def export_as_api(obj):
    """Publish ``obj`` to strategies under its own name."""
    register_api(obj.__name__, obj)
    return obj


def run(config=None, strategy_funcs=None, mods=None):
    """Run one back-test (see ``corvane.engine.run``)."""
    from corvane.engine import run as run_backtest

    return run_backtest(config, strategy_funcs, mods)
