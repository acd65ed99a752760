"""Opening a supply on a device, a URL or a virtual supply: the driver,
open, or Refused with the kind of refusal and what to do about it."""

import shutil
from collections.abc import Sequence

import qm4410
from qm4410 import QM4410

from . import diagnosis, remote, served
from .errors import RefusalKind, Refused
from .virtual import SimulatorError, SimulatorMissing, VirtualSupply

ACCEPTED_MODELS = ("4410", "4411")

# How the lines that open() prints when it refuses begin: the busy line
# after its availability check said no, the others when opening failed.
BUSY_LINE = "serial port already opened!"
OPEN_FAILED_LINES = ("Cannot open serial port", "unexpected ")
# pyserial's words when another process holds the lock of an exclusive open.
LOCKED_BY_ANOTHER = "Could not exclusively lock port"


def open_driver(port: str) -> QM4410:
    """The driver of the supply on `port`, open and its identity read;
    Refused when it cannot be. A device of this machine is looked at first,
    so that a missing or forbidden one is told as such. Nothing is printed:
    what open() says goes into the refusal."""
    if not remote.is_url(port):
        diagnosis.check_device(port)
    driver = QM4410(port)
    opened, printed = qm4410._quietly(driver.open)
    if opened:
        return driver
    raise _explained(driver, port, printed)


def start_virtual(arguments: Sequence[str]) -> VirtualSupply:
    """A virtual supply (qm4410-sim) started with its command line's
    `arguments`; Refused when none is installed or it did not start."""
    try:
        return VirtualSupply(arguments)
    except SimulatorMissing as missing:
        raise Refused(RefusalKind.NO_VIRTUAL_SUPPLY, str(missing)) from None
    except SimulatorError as error:
        raise Refused(RefusalKind.SIMULATOR_FAILED, str(error)) from None


def _explained(driver: QM4410, port: str, printed: list[str]) -> Refused:
    """The refusal of open(), which printed `printed`, as what to do about it."""
    reason = "; ".join(printed)
    last_line = printed[-1] if printed else ""
    if last_line.startswith(BUSY_LINE) or LOCKED_BY_ANOTHER in last_line:
        return _taken(port, reason)
    if last_line.startswith(OPEN_FAILED_LINES):
        if remote.is_url(port):
            return remote.refusal(port, reason)
        return Refused(RefusalKind.CANNOT_OPEN, f"could not open {port}: {reason}")
    # The driver clears the identity before asking for it, so an empty model
    # means the question went unanswered.
    model = driver.show_device_version()["model"]
    if not model:
        return Refused(
            RefusalKind.NO_ANSWER,
            f"no answer from a supply on {port}; check that it is switched on, "
            "connected to this port and set to 4800 baud",
        )
    return Refused(
        RefusalKind.WRONG_MODEL,
        f"the device on {port} reports model {model!r}; this tool drives models " + " and ".join(ACCEPTED_MODELS),
    )


def _taken(port: str, reason: str) -> Refused:
    """open()'s availability check said no: who holds the port, or why the
    check could not tell."""
    if remote.is_url(port):
        # The driver looked at the device behind the URL; no URL goes to lsof.
        return Refused(
            RefusalKind.PORT_BUSY, f"the device behind {port} is in use by another program; close it there first"
        )
    if diagnosis.on_windows():
        # There the check is a trial open, and the system names no holder.
        return Refused(RefusalKind.PORT_BUSY, f"{port} is in use by another program; close it there first")
    if shutil.which("lsof") is None:
        return Refused(
            RefusalKind.CANNOT_OPEN,
            "lsof is not installed, and the driver needs it to see whether "
            f"{port} is free; install it (e.g. apt-get install lsof)",
        )
    holders = diagnosis.port_holders(port)
    if holders:
        served_at = served.url_of(port, [holder.pid for holder in holders])
        return Refused(RefusalKind.PORT_BUSY, diagnosis.busy_message(port, holders, served_at))
    return Refused(RefusalKind.CANNOT_OPEN, f"could not open {port}: {reason}")
