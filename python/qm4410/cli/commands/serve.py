"""`qm4410 serve`: hold one supply and serve it to many clients at once, in
its own protocol over RFC 2217 and as a SCPI instrument, until stopped.

Standard output carries the endpoints, one per line, and nothing else; the
log goes to standard error.
"""

import argparse
import contextlib
import logging
import sys
from collections.abc import Iterator

from ...server import LOOPBACK, CannotListen, Endpoint, HeldSupply, Rfc2217, Scpi, Server, SupplyGone
from ...server.listener import IDLE_TIMEOUT_S
from ...supply.errors import Refused
from ...supply.switch_off import CONFIRMED, still_on_message
from .. import guard, port
from ..exits import REFUSAL_EXIT, CommandError, Exit, Stopped
from ..terminal import stop_requests
from ..values import bind_address, listening_address, network, seconds_or_never
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
        "--rfc2217", type=listening_address, default=(None, None), metavar="[HOST:]PORT",
        help="where the RFC 2217 endpoint listens (default 4410; port 0 picks a free one)",
    )
    command.add_argument(
        "--scpi", type=listening_address, default=(None, None), metavar="[HOST:]PORT",
        help="where the SCPI endpoint listens (default 5025; port 0 picks a free one)",
    )
    command.add_argument(
        "--epics", metavar="PREFIX",
        help="serve the supply over EPICS Channel Access too, its PVs named PREFIX followed by VOLT_SP, VOLT_RBV, "
        "...; searches and beacons where the server binds (needs caproto: pip install 'qm4410[epics]')",
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
    command.add_argument(
        "--idle-timeout", type=seconds_or_never, default=IDLE_TIMEOUT_S, metavar="S",
        help=f"hang up on a client that has sent nothing for S seconds (default {IDLE_TIMEOUT_S:g}; 0: never)",
    )
    command.add_argument("--off-on-exit", action="store_true", help="switch the output off when the server stops, however it stops")
    command.add_argument(
        "--reconnect", action="store_true",
        help="when the supply's port goes away, keep serving and open it again once it is back, "
        "instead of stopping",
    )
    guard.add_options(command, serving=True)
    # Its log has a form of its own, -v included.
    command.set_defaults(run=run, logs_itself=True)


def run(args: argparse.Namespace) -> int:
    """Serve until a signal stops it (ending with that signal's status), or
    until the supply's port goes away (LINE_LOST, unless --reconnect)."""
    switched_off: list[str | None] = []  # the state read back by the switch-off on the way out
    try:
        with _logged(args.verbose), stop_requests() as stop, contextlib.ExitStack() as stack:
            endpoints = _endpoints(args)
            supply = HeldSupply(stack.enter_context(port.virtual_port(args)) if args.sim else args.port)
            # Undone in reverse: the clients go first, then the output is
            # switched off, then the port is closed (and a --sim supply stopped).
            supply.open()
            stack.callback(supply.close)
            if args.off_on_exit:
                stack.callback(lambda: switched_off.append(_switch_off(supply)))
            server = Server(
                supply, endpoints, rules=guard.rules(args),
                allow=args.allow or (), bind=args.bind or LOOPBACK, reconnect=args.reconnect,
                idle_timeout=args.idle_timeout or None,
            )
            stack.callback(server.close)
            server.start()
            # First and alone on standard output, for a script to read.
            for resource in server.resources:
                print(resource, flush=True)
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


def _endpoints(args: argparse.Namespace) -> list[Endpoint]:
    endpoints: list[Endpoint] = [kind(port=port, host=host)
                                 for kind, (host, port) in ((Rfc2217, args.rfc2217), (Scpi, args.scpi))]
    if args.epics is not None:
        try:
            from ...server.epics import Epics
        except ImportError:
            raise CommandError(Exit.MISSING_DEPENDENCY, "--epics needs caproto: pip install 'qm4410[epics]'") from None
        try:
            endpoints.append(Epics(args.epics))
        except ValueError as error:
            raise CommandError(Exit.USAGE, str(error)) from None
    return endpoints


def _switch_off(supply: HeldSupply) -> str | None:
    """The output switched off and confirmed, told on standard error: the
    state last read back."""
    try:
        state = supply.switch_off()
    except SupplyGone as gone:
        print(f"qm4410: warning: could not switch the output off: {gone}", file=sys.stderr)
        return None
    if state == "off":
        print(CONFIRMED, file=sys.stderr)
    return state


@contextlib.contextmanager
def _logged(verbose: bool) -> Iterator[None]:
    """The server's log on standard error: clients coming and going, and
    with -v every command with its client and how long it took, and every
    exchange with the supply (the core's log, which the server's is part of)."""
    log = logging.getLogger("qm4410")
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(asctime)s qm4410 serve: %(message)s", "%Y-%m-%d %H:%M:%S"))
    level, propagate = log.level, log.propagate
    log.addHandler(handler)
    log.setLevel(logging.DEBUG if verbose else logging.INFO)
    log.propagate = False
    try:
        yield
    finally:
        log.removeHandler(handler)
        log.setLevel(level)
        log.propagate = propagate
