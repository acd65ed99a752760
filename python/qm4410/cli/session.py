"""What qm4410.server still imports from the command to open its supply:
it goes once the server opens through the supply core itself."""

import argparse
import contextlib

from qm4410 import QM4410
from qm4410.supply import Refused
from qm4410.supply.opening import open_driver

from . import port
from .exits import REFUSAL_EXIT, CommandError


def port_named(args: argparse.Namespace, stack: contextlib.ExitStack) -> str:
    """The port of --port, or that of a virtual supply started for --sim,
    which `stack` ends."""
    if not args.sim:
        return str(args.port)
    return stack.enter_context(port.virtual_port(args))


def connect(port_name: str, stack: contextlib.ExitStack) -> QM4410:
    """The driver of the supply on `port_name`, open until `stack` closes
    it; CommandError with the refusal's status when it cannot be opened."""
    try:
        driver = open_driver(port_name)
    except Refused as refusal:
        raise CommandError(REFUSAL_EXIT[refusal.kind], refusal.text) from None
    stack.callback(driver.close)
    return driver
