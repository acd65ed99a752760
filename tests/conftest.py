"""Shared fixtures: a driver on a fake port with a recording clock."""
import pytest

import qm4410

from line_fakes import FakePort, FakeTime


@pytest.fixture
def log():
    return []


@pytest.fixture
def fake_time(monkeypatch, log):
    fake = FakeTime(log)
    monkeypatch.setattr(qm4410, "time", fake)
    return fake


@pytest.fixture
def port(log):
    return FakePort(log)


@pytest.fixture
def drv(port, fake_time):
    """A driver at address 1 on the fake port, with the fake clock in place."""
    d = qm4410.QM4410("/dev/ttyFAKE0")
    d._QM4410__addr = 1
    d.ser = port
    return d
