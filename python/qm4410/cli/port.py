"""The supply a command works on: --port (or $QM4410_PORT), or a virtual
supply started for --sim with the options of qm4410-sim it passes on; and
the qm4410.Supply opened there, closed however the command ends."""

import argparse
import contextlib
import os
import sys
from collections.abc import Iterator

from qm4410.supply import RefusalKind, Refused, Supply
from qm4410.supply.diagnosis import on_windows
from qm4410.supply.opening import start_virtual
from qm4410.supply.switch_off import CONFIRMED
from qm4410.supply.switch_off import switch_off as switch_link_off
from qm4410.supply.virtual import PROGRAM, VirtualSupply

from .values import baud, count, ohms, path, port_name

# The virtual supply's own options that --sim passes on, under its names.
SIM_OPTIONS = (
    ("--load", ohms, "OHMS", "resistive load on its output, ohms, or 'inf' (default 10)"),
    ("--drop-every", count, "N", "leave every Nth request unanswered"),
    ("--late-every", count, "N", "answer every Nth request after the driver has given up"),
    ("--corrupt-every", count, "N", "spoil the checksum of every Nth reply"),
    ("--split-every", count, "N", "send every Nth reply in two pieces"),
    ("--stray-every", count, "N", "send stray bytes before every Nth reply"),
    ("--vanish-after", count, "N", "vanish after N requests, as an unplugged adapter would"),
    ("--line-speed", baud, "BAUD", "pace the line at BAUD, as the real 4800-baud line"),
    (
        "--control",
        path,
        "PATH",
        "make PATH a named pipe that changes the running supply: echo 'load 1.5' (or 'short', 'overtemp on') > PATH",
    ),
)


def options() -> argparse.ArgumentParser:
    """--port and --sim with the virtual supply's options, as a parent parser."""
    parser = argparse.ArgumentParser(add_help=False)
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "--port",
        "-p",
        type=port_name,
        default=os.environ.get("QM4410_PORT") or None,  # set but empty is unset
        help="port of the supply: a device such as /dev/ttyUSB0 or COM3, or a URL such as "
        "rfc2217://labpi:4001 (default: $QM4410_PORT)",
    )
    where.add_argument(
        "--sim", action="store_true", help="start the virtual supply qm4410-sim for this command and use it"
    )
    virtual = parser.add_argument_group("the virtual supply, with --sim (see qm4410-sim --help)")
    for option, kind, metavar, help_text in SIM_OPTIONS:
        virtual.add_argument(option, dest=_sim_dest(option), type=kind, metavar=metavar, help=help_text)
    return parser


def _sim_dest(option: str) -> str:
    return "sim_" + option.removeprefix("--").replace("-", "_")


def sim_arguments(args: argparse.Namespace) -> list[str]:
    """The virtual supply's options given, as qm4410-sim takes them."""
    return [word for option, value in _sim_options_given(args) for word in (option, str(value))]


def _sim_options_given(args: argparse.Namespace) -> list[tuple[str, object]]:
    values = [(option, getattr(args, _sim_dest(option))) for option, *_ in SIM_OPTIONS]
    return [(option, value) for option, value in values if value is not None]


def problem(args: argparse.Namespace, needed: bool = True) -> str | None:
    """What the port options cannot mean: no supply named where one is
    `needed`, or options of the virtual supply without it."""
    if needed and not (args.sim or args.port):
        return "give --port PORT or --sim (or set QM4410_PORT)"
    passed = [option for option, _ in _sim_options_given(args)]
    if passed and not args.sim:
        are = "is an option" if len(passed) == 1 else "are options"
        return f"{', '.join(passed)} {are} of the virtual supply: add --sim"
    return None


@contextlib.contextmanager
def opened(args: argparse.Namespace) -> Iterator[Supply]:
    """The supply of --port, or of a virtual supply started for --sim, open;
    closed however the command ends."""
    with contextlib.ExitStack() as stack:
        where = stack.enter_context(virtual_port(args)) if args.sim else args.port
        yield stack.enter_context(Supply(where))


@contextlib.contextmanager
def virtual_port(args: argparse.Namespace) -> Iterator[str]:
    """The port of a virtual supply started with the options given; ended
    however the command ends, and what it said on standard error passed on."""
    with _started(sim_arguments(args)) as virtual:
        try:
            yield virtual.port
        finally:
            virtual.stop()
            if words := virtual.log().strip():
                print(words, file=sys.stderr)


def _started(arguments: list[str]) -> VirtualSupply:
    try:
        return start_virtual(arguments)
    except Refused as refusal:
        if refusal.kind is not RefusalKind.NO_VIRTUAL_SUPPLY:
            raise
        raise Refused(refusal.kind, _no_virtual_supply()) from None


def _no_virtual_supply() -> str:
    if on_windows():
        reason = f"no virtual supply is available on Windows: {PROGRAM} is built on Linux and macOS only"
    else:
        reason = f"no virtual supply is available: {PROGRAM} is not installed here (the package was built without it)"
    return reason + "; give --port with a real supply's port instead"


def switch_off(supply: Supply) -> str | None:
    """Switch the output off and see it off, told on standard error once it
    is; the output's state last read back ("off", "on", or None when no
    status came back), for the ending to tell otherwise."""
    state = switch_link_off(supply.link)
    if state == "off":
        print(CONFIRMED, file=sys.stderr)
    return state
