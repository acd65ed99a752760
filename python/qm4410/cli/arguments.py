"""The command line: subcommands, their options and how values are checked."""

import argparse
import math
import os

from . import monitor, queries, setting

# The largest set-point the wire can carry: 2**32 - 1 mV or mA.
LARGEST_SETPOINT = 4294967.295


def setpoint(text: str) -> float:
    value = _number(text)
    if not 0 <= value <= LARGEST_SETPOINT:
        raise argparse.ArgumentTypeError(f"{text} is outside 0..{LARGEST_SETPOINT}")
    return value


def seconds(text: str) -> float:
    value = _number(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{text} is not a positive number of seconds")
    return value


def pixels(text: str) -> tuple[int, int]:
    width, _, height = text.lower().partition("x")
    if not (width.isdigit() and height.isdigit() and 0 < int(width) and 0 < int(height)):
        raise argparse.ArgumentTypeError(f"{text} is not WIDTHxHEIGHT, e.g. 1000x750")
    return int(width), int(height)


def _number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text} is not a finite number")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="qm4410",
        description="Find, query, set and monitor a QM4410 bench power supply.",
    )
    commands = parser.add_subparsers(title="commands", required=True, metavar="COMMAND")

    ports = commands.add_parser("ports", help="list the serial ports of this machine")
    ports.set_defaults(run=queries.list_ports)

    where = _port_options()
    info = commands.add_parser("info", parents=[where], help="model, serial number and software version")
    info.set_defaults(run=queries.show_identity)

    status = commands.add_parser("status", parents=[where], help="one status record")
    status.add_argument("--json", action="store_true", help="print the record as JSON")
    status.set_defaults(run=queries.show_status)

    _add_set(commands, where)
    _add_monitor(commands, where)
    return parser


def _port_options() -> argparse.ArgumentParser:
    options = argparse.ArgumentParser(add_help=False)
    where = options.add_mutually_exclusive_group()
    where.add_argument(
        "--port",
        "-p",
        default=os.environ.get("QM4410_PORT"),
        help="serial port of the supply, e.g. /dev/ttyUSB0 (default: $QM4410_PORT)",
    )
    where.add_argument(
        "--sim", action="store_true", help="start the virtual supply qm4410-sim for this command and use it"
    )
    return options


def _add_set(commands, where: argparse.ArgumentParser) -> None:
    command = commands.add_parser(
        "set",
        parents=[where],
        help="apply settings, then read them back",
        description="Apply the given settings (remote control first, output last), read the "
        "status back and exit non-zero when a setting got no reply or reads back otherwise.",
    )
    command.add_argument("--max-voltage", type=setpoint, metavar="V", help="highest output voltage, volts")
    command.add_argument("--voltage", type=setpoint, metavar="V", help="output voltage, volts")
    command.add_argument("--current", type=setpoint, metavar="A", help="current limit, amperes")
    command.add_argument("--output", choices=("on", "off"), help="switch the output")
    command.add_argument("--mode", choices=("remote", "local"), help="remote (this host) or local (front panel) control")
    command.set_defaults(run=setting.apply_settings)


def _add_monitor(commands, where: argparse.ArgumentParser) -> None:
    command = commands.add_parser(
        "monitor",
        parents=[where],
        help="sample the status over time",
        description="Sample the status at a fixed interval until the duration is over or Ctrl-C.",
    )
    command.add_argument("--interval", type=seconds, default=1.0, metavar="S", help="seconds between samples (default 1)")
    command.add_argument("--duration", type=seconds, metavar="S", help="stop after this many seconds (default: never)")
    record = command.add_mutually_exclusive_group()
    record.add_argument("--csv", metavar="FILE", help="write the samples as CSV")
    record.add_argument("--jsonl", metavar="FILE", help="write the samples as JSON Lines")
    command.add_argument("--plot", metavar="FILE.png", help="draw voltage, current and power against time at the end")
    command.add_argument(
        "--plot-size", type=pixels, default=(1000, 750), metavar="WxH", help="plot size in pixels (default 1000x750)"
    )
    command.add_argument("--off-on-exit", action="store_true", help="switch the output off when monitoring ends, however it ends")
    command.set_defaults(run=monitor.monitor)
