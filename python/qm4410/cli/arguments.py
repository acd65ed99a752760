"""The command line: the options every subcommand takes, the registry of
subcommands, and the checks of a command line as a whole.

Everything a command line can get wrong is refused here, with argparse's
usage error (exit 2) naming the option, before any port or file is touched.
"""

import argparse

import qm4410

from . import guard, port
from .commands import Commands, Parents, info, monitor, ports, ramp, run, serve, status, sweep
from .commands import set as set_command

# Each subcommand's module, in the order --help lists them.
COMMANDS = (ports, info, status, set_command, monitor, sweep, ramp, run, serve)


def parse(argv: list[str] | None) -> argparse.Namespace:
    """The command line, checked as a whole; exits with usage on a mistake.
    `args.run(args)` runs it."""
    parser, commands = build_parser()
    args = parser.parse_args(argv)
    found = _problem(args)
    if found:
        commands.choices[args.command].error(found)
    return args


def _problem(args: argparse.Namespace) -> str | None:
    # A subcommand on a supply; `run --dry-run` only plans, on none, and
    # `serve --config` takes its supplies from a file.
    if "sim" in args and not getattr(args, "config", None):
        found = port.problem(args, needed=not getattr(args, "dry_run", False))
        if found:
            return found
    if "slew_voltage" in args:  # the guard's options, of a command that takes them
        found = guard.problem(args)
        if found:
            return found
    if "problem" in args:  # a subcommand's own checks of its values together
        found = args.problem(args)
        assert found is None or isinstance(found, str)
        return found
    return None


def build_parser() -> tuple[argparse.ArgumentParser, Commands]:
    parser = argparse.ArgumentParser(
        prog="qm4410",
        description="Find, query, set and monitor a QM4410 bench power supply, run sweeps, ramps and "
        "profiles on it, and serve it to many clients.",
    )
    parser.add_argument("--version", action="version", version=f"qm4410 {qm4410.__version__}")
    commands = parser.add_subparsers(title="commands", required=True, metavar="COMMAND", dest="command")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument(
        "-v",
        "--verbose",
        action="store_true",
        help="show every exchange with the supply on standard error, as a trace",
    )
    parents = Parents(common, port.options())
    for command in COMMANDS:
        command.add_parser(commands, parents)
    return parser, commands
