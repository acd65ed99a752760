"""The command line: the options every subcommand takes, the registry of
subcommands, and the checks of a command line as a whole.

Everything a command line can get wrong is refused here, with argparse's
usage error (exit 2) naming the option, before any port or file is touched.
"""

import argparse

import qm4410

from . import port
from .commands import Commands, Parents, info, monitor, ports, ramp, run, status, sweep
from .commands import set as set_command
from .values import bind_address, listening_address, network, quantity

# Each subcommand's module, in the order --help lists them (serve follows).
COMMANDS = (ports, info, status, set_command, monitor, sweep, ramp, run)


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
    if "sim" in args:  # a subcommand on a supply; `run --dry-run` only plans, on none
        found = port.problem(args, needed=not getattr(args, "dry_run", False))
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
        "-v", "--verbose", action="store_true",
        help="show every exchange with the supply on standard error, as a trace",
    )
    parents = Parents(common, port.options())
    for command in COMMANDS:
        command.add_parser(commands, parents)
    _add_serve(commands, parents)
    return parser, commands


# `qm4410 serve`, wired here until it has a module among the others.


def _add_serve(commands: Commands, parents: Parents) -> None:
    command = commands.add_parser(
        "serve",
        parents=parents,
        help="hold the supply and serve it to many clients, over RFC 2217 and SCPI",
        description="Hold the supply and let many clients use it at once until stopped: in its own protocol "
        "over RFC 2217 (any client that opens rfc2217://HOST:PORT, this package's driver and commands "
        "included) and as a SCPI instrument over a raw TCP socket (TCPIP::HOST::PORT::SOCKET). The "
        "endpoints are printed first on standard output, one per line; the log goes to standard error.",
    )
    command.add_argument(
        "--rfc2217", type=listening_address, default=(None, None), metavar="[HOST:]PORT",
        help="where the RFC 2217 endpoint listens (default 4410; port 0 picks a free one)",
    )
    command.add_argument(
        "--scpi", type=listening_address, default=(None, None), metavar="[HOST:]PORT",
        help="where the SCPI endpoint listens (default 5025; port 0 picks a free one)",
    )
    command.add_argument(
        "--bind", metavar="ADDRESS", type=bind_address,
        help="the address both endpoints listen on unless given their own (default 127.0.0.1: this machine "
        "alone); anyone who can reach another address can drive the supply",
    )
    command.add_argument(
        "--allow", type=network, action="append", metavar="NETWORK",
        help="let in only clients from this network (192.168.1.0/24, or one address); may be given again",
    )
    command.add_argument("--limit-voltage", type=quantity("voltage", "the voltage limit"), metavar="V",
                         help="refuse any voltage (and maximum voltage) above V, from every client")
    command.add_argument("--limit-current", type=quantity("current", "the current limit's limit"), metavar="A",
                         help="refuse any current limit above A, from every client")
    command.add_argument("--off-on-exit", action="store_true",
                         help="switch the output off when the server stops, however it stops")
    command.add_argument(
        "--reconnect", action="store_true",
        help="when the supply's port goes away, keep serving and open it again once it is back, "
        "instead of stopping",
    )
    command.set_defaults(run=_serve)


def _serve(args: argparse.Namespace) -> int:
    # The server's modules load for this subcommand alone.
    from ..server.service import serve

    return serve(args)
