"""The fixtures the test modules share."""

import os
import subprocess

import pytest

from rig import MOSQUITTO, ROOT, Broker


@pytest.fixture(scope="session")
def hub_package(tmp_path_factory):
    """The hub as the release package carries it, built once."""
    out = tmp_path_factory.mktemp("hub")
    subprocess.run([os.path.join(ROOT, "scripts", "build-hub"), str(out)], check=True)
    return out


@pytest.fixture
def broker(tmp_path):
    """A mosquitto configured as shipped, for one test."""
    if not os.path.exists(MOSQUITTO):
        pytest.fail("mosquitto is not installed (scripts/install-deps installs it)")
    b = Broker(tmp_path)
    b.start()
    yield b
    b.stop()
