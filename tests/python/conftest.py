"""Fixtures of the quorrin module's tests: stations on simulators of their own."""

import os

import pytest

import quorrin


@pytest.fixture
def simulator(request):
    """A simulator of the system named by the test's parameter (default selectrix)."""
    sim = quorrin.Simulator(getattr(request, "param", "selectrix"))
    yield sim
    sim.close()


@pytest.fixture
def silent_line():
    """A pseudo-terminal nobody answers on: its device path."""
    master, slave = os.openpty()
    yield os.ttyname(slave)
    os.close(slave)
    os.close(master)
