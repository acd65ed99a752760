"""`qm4410 serve`: hold one supply and serve it to many clients at once, in
its own protocol over RFC 2217 and as a SCPI instrument, until stopped.

Standard output carries the endpoints, one per line, and nothing else; the
log goes to standard error.
"""

import argparse
import contextlib

from ...server import CannotListen, HeldSupply, SupplyGone
from ...server.http.names import DEFAULT_PORT as DEFAULT_HTTP_PORT
from ...server.listener import IDLE_TIMEOUT_S
from ...supply import served
from ...supply.errors import Refused
from ...supply.line import DEFAULT_MAX_AGE_S
from ...supply.switch_off import still_on_message
from .. import guard, port
from ..exits import REFUSAL_EXIT, CommandError, Exit, Stopped
from ..rack_file import RackFileError, read_rack
from ..rack_serving import serve_rack
from ..serving import advertised, endpoints_for, http_problem, logged, server_for, switch_off
from ..terminal import stop_requests
from ..values import (
    bind_address,
    epics_prefix,
    http_token,
    listening_address,
    network,
    path,
    seconds_or_never,
    time_span,
)
from . import Commands, Parents


def add_parser(commands: Commands, parents: Parents) -> None:
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
        "--config",
        metavar="RACK.toml",
        type=path,
        help="serve every supply a rack file names, each with its own port, endpoints and guard, from this one "
        "process; the supplies and their options come from the file alone (see docs/serve.md)",
    )
    add_options(command)
    # Its log has a form of its own, -v included.
    command.set_defaults(run=run, logs_itself=True, problem=problem)


def add_options(command: argparse.ArgumentParser) -> None:
    """The options of one served supply, but its port: its endpoints, who
    may use them, what becomes of it when it stops or its port goes, and
    its guard."""
    command.add_argument(
        "--rfc2217",
        type=listening_address,
        default=(None, None),
        metavar="[HOST:]PORT",
        help="where the RFC 2217 endpoint listens (default 4410; port 0 picks a free one)",
    )
    command.add_argument(
        "--scpi",
        type=listening_address,
        default=(None, None),
        metavar="[HOST:]PORT",
        help="where the SCPI endpoint listens (default 5025; port 0 picks a free one)",
    )
    command.add_argument(
        "--hislip",
        type=listening_address,
        nargs="?",
        const=(None, None),
        metavar="[HOST:]PORT",
        help="serve the supply as a VISA instrument over HiSLIP too, TCPIP::HOST::hislip0,PORT::INSTR (port 4880 "
        "unless given; see docs/lxi.md)",
    )
    command.add_argument(
        "--vxi11",
        type=listening_address,
        nargs="?",
        const=(None, None),
        metavar="[HOST:]PORT",
        help="serve the supply as a VISA instrument over VXI-11 too, TCPIP::HOST::inst0::INSTR, its core channel on "
        "PORT (a free one unless given) registered with the portmapper on port 111",
    )
    command.add_argument(
        "--mdns",
        action="store_true",
        help="advertise the endpoints by mDNS (DNS-SD) where they listen, so that VISA's discovery finds them "
        "(needs zeroconf: pip install 'qm4410[lxi]')",
    )
    command.add_argument(
        "--epics",
        metavar="PREFIX",
        type=epics_prefix,
        help="serve the supply over EPICS Channel Access too, its PVs named PREFIX followed by VOLT_SP, VOLT_RBV, "
        "...; searches and beacons where the server binds (needs caproto: pip install 'qm4410[epics]')",
    )
    command.add_argument(
        "--http",
        type=listening_address,
        nargs="?",
        const=(None, None),
        metavar="[HOST:]PORT",
        help=f"serve a web page of the supply (its readings, set-points, a plot of the last minutes, the guard) and "
        f"Prometheus metrics at /metrics over HTTP, on port {DEFAULT_HTTP_PORT} unless given (needs starlette, "
        "uvicorn and prometheus-client: pip install 'qm4410[web]'; see docs/web.md)",
    )
    command.add_argument(
        "--http-control",
        action="store_true",
        help="let the page set the voltage, the current limit and the output and clear a trip, through the guard, "
        "once given the token (without it the page only shows)",
    )
    command.add_argument(
        "--http-token",
        type=http_token,
        metavar="TOKEN",
        help="the token the page's control asks for (default: one made at start and told on standard error)",
    )
    command.add_argument(
        "--bind",
        metavar="ADDRESS",
        type=bind_address,
        help="the address both endpoints listen on unless given their own (default 127.0.0.1: this machine "
        "alone); anyone who can reach another address can drive the supply",
    )
    command.add_argument(
        "--allow",
        type=network,
        action="append",
        metavar="NETWORK",
        help="let in only clients from this network (192.168.1.0/24, or one address); may be given again",
    )
    command.add_argument(
        "--idle-timeout",
        type=seconds_or_never,
        default=IDLE_TIMEOUT_S,
        metavar="S",
        help=f"hang up on a client that has sent nothing for S seconds (default {IDLE_TIMEOUT_S:g}; 0: never)",
    )
    command.add_argument(
        "--max-age",
        type=time_span("the readings' age"),
        default=DEFAULT_MAX_AGE_S,
        metavar="S",
        help="answer every reader of the status (SCPI, RFC 2217, EPICS, the web page, the guard) with one reading "
        f"while its reply is at most S seconds old and no setting has come since (default {DEFAULT_MAX_AGE_S:g})",
    )
    command.add_argument(
        "--off-on-exit", action="store_true", help="switch the output off when the server stops, however it stops"
    )
    command.add_argument(
        "--reconnect",
        action="store_true",
        help="when the supply's port goes away, keep serving and open it again once it is back, instead of stopping",
    )
    command.add_argument(
        "--state",
        metavar="FILE",
        help="keep the set-points and whether the output is on in FILE, and restore them when the supply comes back "
        "without them (default: under $XDG_STATE_HOME/qm4410/, named after the port; with --sim, none); "
        "'none' keeps none",
    )
    command.add_argument(
        "--restore-output",
        choices=("on", "off"),
        default="off",
        help="on: switch the output on again when the supply comes back and it was on (default off: it is left off)",
    )
    guard.add_options(command, serving=True)


def supply_options() -> argparse.ArgumentParser:
    """Every option of one served supply, its port included, as a parser of
    its own (a rack file's supplies are read with it)."""
    parser = argparse.ArgumentParser(add_help=False, parents=[port.options()])
    add_options(parser)
    return parser


def problem(args: argparse.Namespace) -> str | None:
    """--config with options of one supply, which the file gives; the
    page's control without the page."""
    if args.config is None:
        return http_problem(args)
    defaults = vars(supply_options().parse_args([]))
    given = [
        "--" + dest.removeprefix("sim_").replace("_", "-")
        for dest, default in defaults.items()
        if getattr(args, dest) != default
    ]
    if given:
        return f"--config takes the supplies and every option of theirs from the file: leave out {', '.join(given)}"
    return None


def run(args: argparse.Namespace) -> int:
    """Serve until a signal stops it (ending with that signal's status), or
    until the supply's port goes away (LINE_LOST, unless --reconnect)."""
    if args.config is not None:
        try:
            rack = read_rack(args.config, supply_options)
        except RackFileError as error:
            raise CommandError(Exit.USAGE, f"{args.config} cannot be served; nothing was opened:\n{error}") from None
        return serve_rack(rack, args.verbose)
    switched_off: list[str | None] = []  # the state read back by the switch-off on the way out
    try:
        with logged(args.verbose), stop_requests() as stop, contextlib.ExitStack() as stack:
            endpoints = endpoints_for(args)
            supply = HeldSupply(stack.enter_context(port.virtual_port(args)) if args.sim else args.port, args.max_age)
            # Undone in reverse: the clients go first, then the output is
            # switched off, then the port is closed (and a --sim supply stopped).
            supply.open()
            stack.callback(supply.close)
            if args.off_on_exit:
                stack.callback(lambda: switched_off.append(switch_off(supply)))
            server = server_for(supply, args, endpoints)
            stack.callback(server.close)
            server.start()
            # First and alone on standard output, for a script to read.
            for resource in server.resources:
                print(resource, flush=True)
            stack.enter_context(advertised(server, args))
            stack.enter_context(served.recorded(supply.port, server.resources))
            server.serve_until(lambda: bool(stop))
    except Refused as refusal:
        raise CommandError(REFUSAL_EXIT[refusal.kind], refusal.text) from None
    except CannotListen as error:
        raise CommandError(Exit.CANNOT_LISTEN, str(error)) from None
    except SupplyGone as gone:
        raise CommandError(Exit.LINE_LOST, f"{gone}; the server stops (--reconnect waits for it instead)") from None
    if args.off_on_exit and switched_off != ["off"]:
        raise CommandError(Exit.SETTING_FAILED, still_on_message(switched_off[0] if switched_off else None))
    assert stop.signum is not None  # serving ends by a stop or by an error
    raise Stopped(stop.signum)
