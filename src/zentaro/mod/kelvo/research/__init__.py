"""Host layer: the research package (a deployment replaces it)."""

from .research_api import describe

__all__ = ["describe"]
