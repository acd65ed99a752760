"""Drivers on virtual supplies for the workflows, and the Python supply
with its fake clock for their timing."""

import pytest
from fake_supply import FakeSupply
from fakes import FakeClock

from qm4410 import QM4410
from qm4410.supply import switch_off
from qm4410.workflows import schedule


@pytest.fixture
def open_supply(qm4410_sim):
    """Opens a driver, under remote control, on a virtual supply started
    with the given qm4410-sim options."""
    drivers = []

    def open_supply(**options):
        driver = QM4410(qm4410_sim(**options))
        assert driver.open() and driver.set_work_mode("remote")
        drivers.append(driver)
        return driver

    yield open_supply
    for driver in drivers:
        driver.close()


@pytest.fixture
def clock(monkeypatch):
    """The clock the workflows' pacing and the confirmed switch-off read."""
    fake = FakeClock()
    monkeypatch.setattr(schedule, "time", fake)
    monkeypatch.setattr(switch_off, "time", fake)
    return fake


@pytest.fixture
def fake(clock):
    """Makes a Python supply on the fake clock."""
    return lambda **options: FakeSupply(clock, **options)
