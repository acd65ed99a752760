"""The simulator for these tests comes from the package's own pytest
fixtures (qm4410_sim, qm4410_port): the qm4410-sim named by QM4410_SIM,
else the one on PATH. A missing binary fails the tests instead of skipping
them, so a broken install cannot pass unnoticed."""

import pytest
from sim_wire import open_line

from qm4410.virtual_supply import SimulatorError, simulator_program


@pytest.fixture(scope="session")
def sim_binary():
    try:
        return simulator_program()
    except SimulatorError as error:
        pytest.fail(str(error))


@pytest.fixture
def start_sim(qm4410_sim):
    """Starts a simulator with these command-line arguments (numbers may be
    given as numbers); the running VirtualSupply, ended after the test."""
    return lambda *args: qm4410_sim.start(*(str(a) for a in args))


@pytest.fixture
def port(qm4410_port):
    """A client connection to a simulator with default settings."""
    with open_line(qm4410_port) as connection:
        yield connection
