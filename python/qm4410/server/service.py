"""`qm4410 serve`: hold one supply and serve it to many clients at once,
in its own protocol over RFC 2217 and as a SCPI instrument, until stopped.

Standard output carries the endpoints, one per line, and nothing else; the
log goes to standard error.
"""

import argparse
import contextlib
import ipaddress
import logging
import sys
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass

from ..cli import safety
from ..cli.exits import CommandError, Exit, Stopped
from ..cli.session import port_named
from ..cli.stopping import StopRequest, stop_requests
from . import rfc2217_endpoint
from .held_supply import HeldSupply
from .limits import Limits
from .listener import Client, Listener
from .scpi import endpoint as scpi_endpoint

LOOPBACK = "127.0.0.1"
RECONNECT_EVERY_S = 1.0
# After the port has gone, the server goes on answering (every command
# fails) for this long before it ends, so that a SCPI client in the middle
# of its work learns of it from an answer: VISA clients take a connection
# that closes under a query for a time-out.
LOSS_NOTICE_S = 1.0
WATCH_EVERY_S = 0.05  # how soon a stop, or the port's loss, is acted on


@dataclass(frozen=True)
class Endpoint:
    name: str  # also that of its [HOST:]PORT option
    default_port: int
    serve_client: Callable[[Client, HeldSupply, Limits, logging.Logger], None]
    resource: str  # what a client opens, from {host} and {port}


ENDPOINTS = (
    Endpoint("rfc2217", 4410, rfc2217_endpoint.serve_client, "rfc2217://{host}:{port}"),
    # 5025: the port of SCPI over raw sockets, by the LXI convention.
    Endpoint("scpi", 5025, scpi_endpoint.serve_client, "TCPIP::{host}::{port}::SOCKET"),
)


def serve(args: argparse.Namespace) -> int:
    limits = Limits(args.limit_voltage, args.limit_current)
    off: dict[str, str | None] = {"state": None}  # what the switch-off on the way out read back
    with _logged(args.verbose) as log, stop_requests() as stop, contextlib.ExitStack() as stack:
        supply = HeldSupply(port_named(args, stack), log)
        # Undone in reverse: the clients go first, then the output is
        # switched off, then the port is closed (and a --sim supply stopped).
        supply.open()
        stack.callback(supply.close)
        if args.off_on_exit:
            stack.callback(lambda: off.update(state=supply.switch_off()))
        listeners = []
        for endpoint in ENDPOINTS:
            listener = _listener(endpoint, args, supply, limits, log)
            stack.callback(listener.close)
            listeners.append(listener)
        for listener in listeners:
            listener.start()
        _announce(listeners, supply, log)
        _serve_until_stopped(supply, stop, args.reconnect, log)
    if args.off_on_exit and off["state"] != "off":
        raise CommandError(Exit.SETTING_FAILED, safety.still_on_message(off["state"]))
    assert stop.signum is not None  # serving ends by a stop or by an error
    raise Stopped(stop.signum)


def _listener(endpoint: Endpoint, args, supply: HeldSupply, limits: Limits, log: logging.Logger) -> Listener:
    host, port = getattr(args, endpoint.name)
    address = (host or args.bind or LOOPBACK, endpoint.default_port if port is None else port)
    return Listener(
        endpoint.name, address, args.allow or (), lambda client: endpoint.serve_client(client, supply, limits, log), log
    )


def _announce(listeners: list[Listener], supply: HeldSupply, log: logging.Logger) -> None:
    """The endpoints on standard output, first and alone, for a script to
    read; the rest on standard error."""
    for endpoint, listener in zip(ENDPOINTS, listeners):
        host = f"[{listener.host}]" if ":" in listener.host else listener.host
        print(endpoint.resource.format(host=host, port=listener.port), flush=True)
    identity = supply.identity()
    log.info("serving the %s, serial number %s, on %s", identity["model"], identity["SN"], supply.port)
    for listener in listeners:
        if not ipaddress.ip_address(listener.host).is_loopback:
            log.warning(
                "warning: %s listens on %s: anyone who can reach that address can drive the supply (neither SCPI "
                "nor RFC 2217 asks who is there); --allow NETWORK limits who may connect",
                listener.endpoint, listener.host,
            )


def _serve_until_stopped(supply: HeldSupply, stop: StopRequest, reconnect: bool, log: logging.Logger) -> None:
    next_try = 0.0
    while not stop:
        if supply.gone.is_set():
            if not reconnect:
                _end_after_the_loss(supply, stop)
                return
            if next_try == 0.0:
                log.info("trying to open %s again every %g s", supply.port, RECONNECT_EVERY_S)
            if time.monotonic() >= next_try:
                next_try = 0.0 if supply.reopen() else time.monotonic() + RECONNECT_EVERY_S
        time.sleep(WATCH_EVERY_S)


def _end_after_the_loss(supply: HeldSupply, stop: StopRequest) -> None:
    deadline = time.monotonic() + LOSS_NOTICE_S
    while not stop and time.monotonic() < deadline:
        time.sleep(WATCH_EVERY_S)
    if not stop:
        raise CommandError(Exit.LINE_LOST, f"{supply.reason}; the server stops (--reconnect waits for it instead)")


@contextlib.contextmanager
def _logged(verbose: bool) -> Iterator[logging.Logger]:
    """The server's log on standard error: clients coming and going, and
    with -v every command with its client and how long it took."""
    log = logging.getLogger("qm4410.serve")
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(asctime)s qm4410 serve: %(message)s", "%Y-%m-%d %H:%M:%S"))
    log.addHandler(handler)
    log.setLevel(logging.DEBUG if verbose else logging.INFO)
    log.propagate = False
    try:
        yield log
    finally:
        log.removeHandler(handler)
