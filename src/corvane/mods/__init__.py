"""The engine's built-in plug-ins."""
