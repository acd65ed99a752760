"""The command line: subcommands, their options and how values are checked.

Everything a command line can get wrong is refused here, with argparse's
usage error (exit 2) naming the option, before any port or file is touched.
"""

import argparse
import importlib.metadata
import os

from . import monitor, queries, setting
from .commands import serve
from .run_arguments import TIME_PLOT, add_records, add_workflow_commands
from .values import baud, count, ohms, port_name, seconds, setpoint

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
)


def parse(argv: list[str] | None) -> argparse.Namespace:
    """The command line, checked as a whole; exits with usage on a mistake."""
    parser, commands = _build_parser()
    args = parser.parse_args(argv)
    problem = _conflict(args)
    if problem:
        commands.choices[args.command].error(problem)
    if "sim" in args:  # as qm4410-sim takes them
        args.sim_options = [word for option, value in _sim_options_given(args) for word in (option, str(value))]
    return args


def _sim_options_given(args: argparse.Namespace) -> list[tuple[str, object]]:
    values = [(option, getattr(args, _sim_dest(option))) for option, *_ in SIM_OPTIONS]
    return [(option, value) for option, value in values if value is not None]


def _conflict(args: argparse.Namespace) -> str | None:
    if "sim" not in args:
        return None
    if not (args.sim or args.port or getattr(args, "dry_run", False)):
        return "give --port PORT or --sim (or set QM4410_PORT)"
    passed = [option for option, _ in _sim_options_given(args)]
    if passed and not args.sim:
        return f"{', '.join(passed)} {'is an option' if len(passed) == 1 else 'are options'} of the virtual supply: add --sim"
    if args.command == "set" and not setting.requested_settings(args):
        return "nothing to set: give --max-voltage, --voltage, --current, --output or --mode"
    if getattr(args, "append", False) and not (args.csv or args.jsonl):
        return "--append needs --csv FILE or --jsonl FILE"
    if "problem" in args:  # a subcommand's own checks of its values together
        return args.problem(args)
    return None


def _installed_version() -> str:
    try:
        return importlib.metadata.version("qm4410")
    except importlib.metadata.PackageNotFoundError:  # run from a source tree
        return "(not installed)"


def _build_parser() -> tuple[argparse.ArgumentParser, argparse._SubParsersAction]:
    parser = argparse.ArgumentParser(
        prog="qm4410",
        description="Find, query, set and monitor a QM4410 bench power supply, run sweeps, ramps and "
        "profiles on it, and serve it to many clients.",
    )
    parser.add_argument("--version", action="version", version=f"qm4410 {_installed_version()}")
    commands = parser.add_subparsers(title="commands", required=True, metavar="COMMAND", dest="command")

    common = argparse.ArgumentParser(add_help=False)
    common.add_argument(
        "-v", "--verbose", action="store_true", help="show the driver's own lines on standard error, as a trace"
    )

    ports = commands.add_parser("ports", parents=[common], help="list the serial ports of this machine")
    ports.add_argument("--json", action="store_true", help="print the list as JSON")
    ports.add_argument(
        "--probe",
        action="store_true",
        help="ask each port that no process holds for a supply's identity (one request, about a "
        "second at most per port) and say which holds a supply",
    )
    ports.set_defaults(run=queries.list_ports)

    where = _port_options(common)
    info = commands.add_parser("info", parents=[where], help="model, serial number and software version")
    info.add_argument("--json", action="store_true", help="print the identity as JSON")
    info.set_defaults(run=queries.show_identity)

    status = commands.add_parser("status", parents=[where], help="one status record")
    status.add_argument("--json", action="store_true", help="print the record as JSON")
    status.set_defaults(run=queries.show_status)

    _add_set(commands, where)
    _add_monitor(commands, where)
    add_workflow_commands(commands, where)
    serve.add_parser(commands, [where])
    return parser, commands


def _sim_dest(option: str) -> str:
    return "sim_" + option.removeprefix("--").replace("-", "_")


def _port_options(common: argparse.ArgumentParser) -> argparse.ArgumentParser:
    options = argparse.ArgumentParser(add_help=False, parents=[common])
    where = options.add_mutually_exclusive_group()
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
    virtual = options.add_argument_group("the virtual supply, with --sim (see qm4410-sim --help)")
    for option, kind, metavar, help_text in SIM_OPTIONS:
        virtual.add_argument(option, dest=_sim_dest(option), type=kind, metavar=metavar, help=help_text)
    return options


def _add_set(commands, where: argparse.ArgumentParser) -> None:
    command = commands.add_parser(
        "set",
        parents=[where],
        help="apply settings, then read them back",
        description="Apply the given settings (remote control first, output last), read the "
        "status back and exit non-zero when a setting got no reply or reads back otherwise, "
        "or when the supply warns (output held at the maximum voltage, over-temperature).",
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
    add_records(command, "samples", TIME_PLOT)
    command.add_argument("--off-on-exit", action="store_true", help="switch the output off when monitoring ends, however it ends")
    command.set_defaults(run=monitor.monitor)
