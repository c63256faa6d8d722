import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

import quorix  # noqa: E402
from quorix import sim  # noqa: E402


@pytest.fixture(autouse=True, scope="session")
def simulated_library() -> quorix.Library:
    # QUORIX_LIBRARY names the simulated library of the build under test.
    return quorix.load(simulated=True)


@pytest.fixture
def board() -> int:
    """A fresh simulated board; its number for the control API."""
    sim.reset()
    return sim.add_board("QX-PY-0001")


@pytest.fixture
def quiet_board(board: int) -> int:
    """A fresh simulated board whose bulk IN sends only what a test pushes."""
    sim.set_source(board, sim.SOURCE_NONE, 0)
    return board
