"""A paper book sets the engine's current environment: each test gets the old one back."""

import pytest

from corvane.environment import Environment


@pytest.fixture(autouse=True)
def keep_environment():
    saved = Environment._env
    yield
    Environment._env = saved
