"""Opening the supply named on the command line, with errors a person can act on."""

import contextlib
import os
import shutil
from collections.abc import Iterator

from qm4410 import QM4410

from . import diagnosis
from .failures import (
    CANNOT_OPEN,
    NO_ANSWER,
    PERMISSION_DENIED,
    PORT_BUSY,
    PORT_MISSING,
    WRONG_MODEL,
    fail,
)
from .simulator import simulated_port

ACCEPTED_MODELS = ("4410", "4411")


@contextlib.contextmanager
def connected(args) -> Iterator[QM4410]:
    """The open supply of `--port` or `--sim`; closed (and the simulator
    stopped) however the command ends."""
    with contextlib.ExitStack() as stack:
        port = stack.enter_context(simulated_port()) if args.sim else args.port
        driver = open_supply(port)
        stack.callback(driver.close)
        yield driver


def open_supply(port: str) -> QM4410:
    # The driver would report a missing or forbidden port only as a serial
    # error text; saying it first lets us add what to do about it.
    if not os.path.exists(port):
        fail(PORT_MISSING, diagnosis.missing_port_message(port))
    if diagnosis.lacks_access(port):
        fail(PERMISSION_DENIED, diagnosis.permission_message(port))
    driver = QM4410(port)
    if not driver.open():
        _explain_refusal(driver, port)
    return driver


def _explain_refusal(driver: QM4410, port: str) -> None:
    """Turn a False from open() (whose own message, if any, is already out)
    into the reason and an exit status."""
    if not hasattr(driver, "ser"):  # open() never got as far as opening the port
        if shutil.which("lsof") is None:
            fail(
                CANNOT_OPEN,
                "lsof is not installed, and the driver needs it to see whether "
                f"{port} is free; install it (e.g. apt-get install lsof)",
            )
        holders = diagnosis.port_holders(port)
        if holders:
            fail(PORT_BUSY, diagnosis.busy_message(port, holders))
        # No access check again: open_supply made it just before open().
        fail(CANNOT_OPEN, f"could not open {port} (the reason is printed above)")
    # The driver clears the identity before asking for it, so an empty model
    # means the question went unanswered.
    model = driver.show_device_version()["model"]
    if not model:
        fail(
            NO_ANSWER,
            f"no answer from a supply on {port}; check that it is switched on, "
            "connected to this port and set to 4800 baud",
        )
    fail(
        WRONG_MODEL,
        f"the device on {port} reports model {model!r}; this tool drives models "
        + " and ".join(ACCEPTED_MODELS),
    )
