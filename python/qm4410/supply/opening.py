"""Opening a supply on a device, a URL or a virtual supply: the driver,
open, or Refused with the kind of refusal and what to do about it."""

import os
from collections.abc import Sequence

from qm4410 import QM4410, _line

from . import diagnosis, remote, served
from .errors import RefusalKind, Refused
from .virtual import SimulatorError, SimulatorMissing, VirtualSupply

ACCEPTED_MODELS = ("4410", "4411")


def open_driver(port: str) -> QM4410:
    """The driver of the supply on `port`, open and its identity read;
    Refused when it cannot be. A device of this machine that is no serial
    port is told as such first (see diagnosis.check_device). Nothing is
    printed."""
    if not remote.is_url(port):
        diagnosis.check_device(port)
    driver = QM4410(port)
    try:
        _line.open(driver)
    except _line.OpenError as error:
        raise refusal(port, error) from error
    return driver


def start_virtual(arguments: Sequence[str]) -> VirtualSupply:
    """A virtual supply (qm4410-sim) started with its command line's
    `arguments`; Refused when none is installed or it did not start."""
    try:
        return VirtualSupply(arguments)
    except SimulatorMissing as missing:
        raise Refused(RefusalKind.NO_VIRTUAL_SUPPLY, str(missing)) from None
    except SimulatorError as error:
        raise Refused(RefusalKind.SIMULATOR_FAILED, str(error)) from None


def refusal(port: str, error: _line.OpenError) -> Refused:
    """The refusal that opening `port` ended in, by its kind, as what to do
    about it."""
    if isinstance(error, _line.PortBusy):
        return _taken(port, error)
    if isinstance(error, _line.NoAnswer):
        return Refused(
            RefusalKind.NO_ANSWER,
            f"no answer from a supply on {port}; check that it is switched on, "
            "connected to this port and set to 4800 baud",
        )
    if isinstance(error, _line.WrongModel):
        return Refused(
            RefusalKind.WRONG_MODEL,
            f"the device on {port} reports model {error.model!r}; this tool drives models "
            + " and ".join(ACCEPTED_MODELS),
        )
    if remote.is_url(port):
        return remote.refusal(port, error)
    return diagnosis.refusal(port, error)


def _taken(port: str, busy: _line.PortBusy) -> Refused:
    """Another process holds the port: who, as the availability check named
    them, or as lsof names them now when the port's lock refused us after
    the check found it free."""
    if remote.is_url(port):
        return Refused(
            RefusalKind.PORT_BUSY, f"the device behind {port} is in use by another program; close it there first"
        )
    named = [diagnosis.Holder.of(pid, program) for pid, program in busy.holders if pid != os.getpid()]
    holders = named or diagnosis.port_holders(port)
    served_at = served.url_of(port, [holder.pid for holder in holders]) if holders else None
    return Refused(RefusalKind.PORT_BUSY, diagnosis.busy_message(port, holders, served_at))
