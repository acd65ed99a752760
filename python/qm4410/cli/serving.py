"""What every supply `qm4410 serve` serves is given, alone or in a rack:
its server, built from its options; its output switched off on the way out;
and the log on standard error."""

import argparse
import contextlib
import logging
import sys
from collections.abc import Iterator
from typing import TYPE_CHECKING

from ..server import LOOPBACK, Endpoint, HeldSupply, Hislip, Rfc2217, Scpi, Server, SupplyGone, Vxi11
from ..server.mdns import Advertiser
from ..server.state_file import StateFile, default_path
from ..supply.switch_off import CONFIRMED
from . import guard
from .exits import CommandError, Exit

if TYPE_CHECKING:
    from ..server.epics.ca_server import CaServer
    from ..server.epics.endpoint import Epics
    from ..server.http.endpoint import Http
    from ..server.http.site import Site


def endpoints_for(
    args: argparse.Namespace,
    name: str | None = None,
    site: "Site | None" = None,
    channel_access: "CaServer | None" = None,
) -> list[Endpoint]:
    """The endpoints that serve's options `args` ask for, made before
    anything opens (CommandError when --epics, --mdns or --http needs what
    is not installed);
    in a rack, `name` goes before their names, and so before every
    client's in the log, its page is on the rack's `site` and its PVs on
    the rack's Channel Access server, `channel_access`."""
    endpoints: list[Endpoint] = [
        kind(port=port, host=host) for kind, (host, port) in ((Rfc2217, args.rfc2217), (Scpi, args.scpi))
    ]
    # The VISA instrument doors, when asked for.
    for visa, address in ((Hislip, args.hislip), (Vxi11, args.vxi11)):
        if address is not None:
            host, port = address
            endpoints.append(visa(port=port, host=host))
    if args.mdns:
        try:
            import zeroconf  # noqa: F401
        except ImportError:
            raise CommandError(Exit.MISSING_DEPENDENCY, "--mdns needs zeroconf: pip install 'qm4410[lxi]'") from None
    if args.epics is not None:
        Epics = epics_endpoint()
        endpoints.append(Epics(args.epics) if channel_access is None else Epics.on(channel_access, args.epics))
        from ..server.epics.ca_server import name_beacons_in_the_environment

        # Made before any thread of the command's runs.
        name_beacons_in_the_environment(args.bind or LOOPBACK)
    if args.http is not None:
        Http = web_endpoint()
        if site is not None and name is not None:
            endpoints.append(Http.on(site, name, control=args.http_control))
        else:
            host, port = args.http
            endpoints.append(Http(port, host, control=args.http_control, token=args.http_token))
    if name is not None:
        for endpoint in endpoints:
            endpoint.name = f"{name} {endpoint.name}"
    return endpoints


def epics_endpoint() -> "type[Epics]":
    """The EPICS endpoint's class; CommandError when caproto is not installed."""
    try:
        from ..server.epics.endpoint import Epics
    except ImportError:
        raise CommandError(Exit.MISSING_DEPENDENCY, "--epics needs caproto: pip install 'qm4410[epics]'") from None
    return Epics


def web_endpoint() -> "type[Http]":
    """The web endpoint's class; CommandError when the web extra is not installed."""
    try:
        from ..server.http.endpoint import Http
    except ImportError:
        raise CommandError(
            Exit.MISSING_DEPENDENCY, "--http needs starlette, uvicorn and prometheus-client: pip install 'qm4410[web]'"
        ) from None
    return Http


def http_problem(args: argparse.Namespace, prefix: str = "--", *, racked: bool = False) -> str | None:
    """The page's control, or its token, asked for without what it needs;
    the options named after `prefix`. In a rack the token is the rack's,
    which a supply whose page does not control may share."""
    if args.http_control and args.http is None:
        return f"{prefix}http-control needs {prefix}http, the page it controls from"
    if args.http_token is not None and not args.http_control and not racked:
        return f"{prefix}http-token needs {prefix}http-control: a page without control asks for no token"
    return None


def server_for(supply: HeldSupply, args: argparse.Namespace, endpoints: list[Endpoint]) -> Server:
    """The server of `supply` on `endpoints` that serve's options `args` ask for."""
    return Server(
        supply,
        endpoints,
        rules=guard.rules(args),
        allow=args.allow or (),
        bind=args.bind or LOOPBACK,
        # A virtual supply of the server's own that has ended never comes
        # back at its port, whose number another program's pseudo-terminal
        # may have been given since: that one is never opened in its place.
        reconnect=args.reconnect and not args.sim,
        idle_timeout=args.idle_timeout or None,
        state=state_file(args, supply.port),
        restore_output=args.restore_output == "on",
    )


def state_file(args: argparse.Namespace, port: str) -> StateFile | None:
    """Where serve's options `args` keep the state of the supply on `port`:
    --state, else the user's state directory; none for a virtual supply
    (whose port is new each time) unless --state names a file."""
    if args.state == "none" or (args.state is None and args.sim):
        return None
    return StateFile(args.state or default_path(port))


@contextlib.contextmanager
def advertised(server: Server, args: argparse.Namespace, name: str | None = None) -> Iterator[None]:
    """With --mdns, the server's endpoints advertised by mDNS while it
    serves (under `name`, in a rack); CannotListen when they cannot be."""
    if not args.mdns:
        yield
        return
    advertiser = Advertiser(server.endpoints, server.supply.identity(), name)
    advertiser.start()
    try:
        yield
    finally:
        advertiser.close()


def switch_off(supply: HeldSupply, whose: str = "") -> str | None:
    """The output switched off and confirmed, told on standard error (after
    `whose`, in a rack): the state last read back."""
    try:
        state = supply.switch_off()
    except SupplyGone as gone:
        print(f"qm4410: warning: {whose}could not switch the output off: {gone}", file=sys.stderr)
        return None
    if state == "off":
        print(f"{whose}{CONFIRMED}", file=sys.stderr)
    return state


@contextlib.contextmanager
def logged(verbose: bool, named: logging.Filter | None = None) -> Iterator[None]:
    """The server's log on standard error: clients coming and going, and
    with -v every command with its client and how long it took, and every
    exchange with the supply (the core's log, which the server's is part of);
    `named` tells whose each line is, in a rack."""
    log = logging.getLogger("qm4410")
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(asctime)s qm4410 serve: %(message)s", "%Y-%m-%d %H:%M:%S"))
    if named is not None:
        handler.addFilter(named)
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
