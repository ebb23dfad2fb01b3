import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import tarnvel_core  # noqa: E402
from peer import Peer  # noqa: E402
from support import unique  # noqa: E402


@pytest.fixture
def system():
    return unique("s")


@pytest.fixture
def node(system):
    """A node named "main" in a system of the test's own."""
    n = tarnvel_core.Tarnvel("main", system, unique("rx"), 1 << 16)
    yield n
    n.close()


@pytest.fixture
def peer(system):
    p = Peer(system, unique("peer"))
    yield p
    assert p.stop() == 0
