"""The fixtures the test modules share."""

import os

import pytest

from rig import MOSQUITTO, Broker


@pytest.fixture
def broker(tmp_path):
    """A mosquitto configured as shipped, for one test."""
    if not os.path.exists(MOSQUITTO):
        pytest.fail("mosquitto is not installed (scripts/install-deps installs it)")
    b = Broker(tmp_path)
    b.start()
    yield b
    b.stop()
