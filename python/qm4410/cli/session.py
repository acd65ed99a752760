"""Connecting to the supply named on the command line, with errors a person
can act on."""

import argparse
import contextlib
import shutil
from collections.abc import Iterator

import serial

from qm4410 import QM4410

from . import diagnosis, remote
from .exits import CommandError, Exit
from .simulator import simulated_port
from .system import on_windows

ACCEPTED_MODELS = ("4410", "4411")

# How the lines that open() prints when it refuses begin: the busy line
# after its availability check said no, the others when opening failed.
BUSY_LINE = "serial port already opened!"
OPEN_FAILED_LINES = ("Cannot open serial port", "unexpected ")
# pyserial's words when another process holds the lock of an exclusive open.
LOCKED_BY_ANOTHER = "Could not exclusively lock port"


@contextlib.contextmanager
def connected(args: argparse.Namespace) -> Iterator[QM4410]:
    """The open supply of `--port` or `--sim`; closed (and the simulator
    stopped) however the command ends."""
    with contextlib.ExitStack() as stack:
        port = port_named(args, stack)
        driver = connect(port, stack)
        try:
            yield driver
        except serial.SerialException as error:
            if diagnosis.is_local_device(port):
                raise
            raise remote.lost(port, error) from None


def port_named(args: argparse.Namespace, stack: contextlib.ExitStack) -> str:
    """The port of `--port`, refused with advice when it is a device of this
    machine that cannot be a serial port, or that of a virtual supply
    started for `--sim`, which `stack` stops."""
    if args.sim:
        return stack.enter_context(simulated_port(args.sim_options))
    if diagnosis.is_local_device(args.port):
        diagnosis.check_device(args.port)
    return args.port


def connect(port: str, stack: contextlib.ExitStack) -> QM4410:
    """The driver of the supply on `port`, open until `stack` closes it."""
    driver = QM4410(port)
    try:
        return stack.enter_context(driver)
    except ConnectionError as refusal:
        raise _explained(driver, port, str(refusal)) from None


def _explained(driver: QM4410, port: str, reason: str) -> CommandError:
    """The refusal of open(), whose reason is `reason`, as what to do about it."""
    last_line = reason.splitlines()[-1]
    if last_line.startswith(BUSY_LINE) or LOCKED_BY_ANOTHER in last_line:
        return _taken(port, reason)
    if last_line.startswith(OPEN_FAILED_LINES):
        if not diagnosis.is_local_device(port):
            return remote.refusal(port, _one_line(reason))
        return CommandError(Exit.CANNOT_OPEN, f"could not open {port}: {_one_line(reason)}")
    # The driver clears the identity before asking for it, so an empty model
    # means the question went unanswered.
    model = driver.show_device_version()["model"]
    if not model:
        return CommandError(
            Exit.NO_ANSWER,
            f"no answer from a supply on {port}; check that it is switched on, "
            "connected to this port and set to 4800 baud",
        )
    return CommandError(
        Exit.WRONG_MODEL,
        f"the device on {port} reports model {model!r}; this tool drives models " + " and ".join(ACCEPTED_MODELS),
    )


def _taken(port: str, reason: str) -> CommandError:
    """open()'s availability check said no: who holds the port, or why the
    check could not tell."""
    if not diagnosis.is_local_device(port):
        # The driver looked at the device behind the URL; no URL goes to lsof.
        return CommandError(Exit.PORT_BUSY, f"the device behind {port} is in use by another program; close it there first")
    if on_windows():
        # There the check is a trial open, and the system names no holder.
        return CommandError(Exit.PORT_BUSY, f"{port} is in use by another program; close it there first")
    if shutil.which("lsof") is None:
        return CommandError(
            Exit.CANNOT_OPEN,
            "lsof is not installed, and the driver needs it to see whether "
            f"{port} is free; install it (e.g. apt-get install lsof)",
        )
    holders = diagnosis.port_holders(port)
    if holders:
        return CommandError(Exit.PORT_BUSY, diagnosis.busy_message(port, holders))
    return CommandError(Exit.CANNOT_OPEN, f"could not open {port}: {_one_line(reason)}")


def _one_line(reason: str) -> str:
    return "; ".join(reason.splitlines())
