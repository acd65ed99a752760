"""Virtual supplies on pseudo-terminals, and drivers connected to them."""

import contextlib

import plain_driver
import serial

import qm4410
from qm4410.virtual_supply import VirtualSupply

ACCEPTED_MODELS = ("4410", "4411")


@contextlib.contextmanager
def virtual_supply(*options: str):
    """Runs one virtual supply; yields the path of its port."""
    with VirtualSupply(options) as supply:
        yield supply.port


@contextlib.contextmanager
def virtual_supplies(count: int, *options: str):
    """Runs `count` virtual supplies; yields their ports."""
    with contextlib.ExitStack() as stack:
        yield [stack.enter_context(virtual_supply(*options)) for _ in range(count)]


@contextlib.contextmanager
def connected_driver(port: str):
    """The extension's driver, opened on `port` as a user would open it."""
    driver = qm4410.QM4410(port)
    if not driver.open():
        raise RuntimeError(f"the driver could not open {port}")
    try:
        yield driver
    finally:
        driver.close()


@contextlib.contextmanager
def connected_plain_driver(port: str, driver_class=plain_driver.QM4410):
    """The plain-Python driver on `port`, with the line settings `open` uses."""
    driver = driver_class(port)
    driver.ser = serial.Serial(port, 4800, 8, "N", 1, timeout=50)
    try:
        driver._QM4410__read_device_version()
        if driver.show_device_version()["model"] not in ACCEPTED_MODELS:
            raise RuntimeError(f"no supply answered on {port}")
        yield driver
    finally:
        driver.ser.close()
