"""Virtual supplies on pseudo-terminals, and drivers connected to them."""
import contextlib
import os
import shutil
import subprocess

import qm4410
import serial

import plain_driver

ACCEPTED_MODELS = ("4410", "4411")


def simulator_program() -> str:
    """qm4410-sim from $QM4410_SIM, else from PATH."""
    program = os.environ.get("QM4410_SIM") or shutil.which("qm4410-sim")
    if not program:
        raise SystemExit("qm4410-sim not found: put it on PATH or name it in QM4410_SIM")
    return program


@contextlib.contextmanager
def virtual_supply(*options: str):
    """Runs one virtual supply; yields the path of its port."""
    process = subprocess.Popen(
        [simulator_program(), *options], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True
    )
    try:
        port = process.stdout.readline().strip()
        if not port:
            raise RuntimeError(f"qm4410-sim {' '.join(options)} gave no port (exit {process.wait()})")
        yield port
    finally:
        process.terminate()
        process.wait()
        process.stdout.close()


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
