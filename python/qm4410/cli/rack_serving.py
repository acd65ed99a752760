"""A rack: the supplies of a rack file served from one process, each by a
server of its own in a thread of its own, so that one whose port does not
open or goes away leaves the others served.

Standard output carries each supply's endpoints once it is served, a line
each: its name, a space, and the endpoint as serve alone prints it."""

import contextlib
import logging
import threading
import time
from typing import TYPE_CHECKING

from ..server import LOOPBACK, CannotListen, Endpoint, HeldSupply, SupplyGone
from ..server.service import RECONNECT_EVERY_S, WATCH_EVERY_S
from ..supply import served
from ..supply.errors import Refused
from ..supply.switch_off import still_on_message
from . import port
from .exits import CommandError, Exit, Stopped
from .rack_file import RackSupply
from .serving import advertised, endpoints_for, epics_endpoint, logged, server_for, switch_off, web_endpoint
from .terminal import StopRequest, stop_requests

if TYPE_CHECKING:
    from ..server.epics.ca_server import CaServer
    from ..server.http.site import Site

log = logging.getLogger("qm4410.serve")


def serve_rack(rack: list[RackSupply], verbose: bool) -> int:
    """Serve every supply of `rack` until a signal stops them all (ending
    with its status), or until none is left to serve (LINE_LOST)."""
    site, channel_access = _site_of(rack), _channel_access_of(rack)
    racked = [_Racked(supply, endpoints_for(supply.args, supply.name, site, channel_access)) for supply in rack]
    printing = threading.Lock()
    with logged(verbose, _Whose(racked)), stop_requests() as stop, contextlib.ExitStack() as stack:
        shared: list[Site | CaServer] = [server for server in (site, channel_access) if server is not None]
        for server in shared:
            try:
                server.open()
            except CannotListen as error:
                raise CommandError(Exit.CANNOT_LISTEN, str(error)) from None
            stack.callback(server.close)  # once every supply's server has let its pages or PVs go
        for each in racked:
            if each.supply.args.sim:
                # Started here, in the main thread, so that each virtual
                # supply ends with this process however it ends.
                try:
                    each.port = stack.enter_context(port.virtual_port(each.supply.args))
                except Refused as refusal:
                    log.error("%s: %s; it is not served", each.supply.name, refusal.text)
        threads = [
            threading.Thread(target=each.serve, args=(stop, printing), name=each.supply.name, daemon=True)
            for each in racked
            if each.port is not None
        ]
        for thread in threads:
            thread.start()
        while not stop and any(thread.is_alive() for thread in threads):
            time.sleep(WATCH_EVERY_S)
        for thread in threads:
            thread.join()
    if not stop:
        raise CommandError(Exit.LINE_LOST, "no supply of the rack is left to serve")
    still_on = [
        f"{each.supply.name}: {still_on_message(each.switched_off)}"
        for each in racked
        if each.supply.args.off_on_exit and each.held and each.switched_off != "off"
    ]
    if still_on:
        raise CommandError(Exit.SETTING_FAILED, "; ".join(still_on))
    assert stop.signum is not None  # serving ends by a stop, or when no supply is left
    raise Stopped(stop.signum)


def _site_of(rack: list[RackSupply]) -> "Site | None":
    """The rack's one HTTP server, where the supplies that ask for a page
    have theirs (the rack file gives them one address and token), not yet
    open; None when none asks."""
    served = [supply for supply in rack if supply.args.http is not None]
    if not served:
        return None
    web_endpoint()  # CommandError without the web extra
    from ..server.http.site import Site

    first = served[0].args
    host, port = first.http
    return Site(
        port,
        host or first.bind or LOOPBACK,
        token=first.http_token,
        rack={supply.name: supply.args.allow or () for supply in served},
    )


def _channel_access_of(rack: list[RackSupply]) -> "CaServer | None":
    """The rack's one Channel Access server, where the supplies on EPICS
    have their PVs, each under its prefix (the rack file gives them one
    bind), not yet open; None when none is on EPICS."""
    served = [supply for supply in rack if supply.args.epics is not None]
    if not served:
        return None
    epics_endpoint()  # CommandError without the epics extra
    from ..server.epics.ca_server import CaServer

    return CaServer(served[0].args.bind or LOOPBACK)


class _Racked:
    """One supply of the rack, served from a thread of its own."""

    def __init__(self, supply: RackSupply, endpoints: list[Endpoint]) -> None:
        self.supply = supply
        self.endpoints = endpoints
        self.port: str | None = None if supply.args.sim else supply.args.port
        self.held = False  # whether it was ever open, so that its output is to be switched off
        self.switched_off: str | None = None

    def serve(self, stop: StopRequest, printing: threading.Lock) -> None:
        """Open the supply (again every RECONNECT_EVERY_S while it will not,
        with reconnect) and serve it until stopped, or until its port goes
        away without reconnect."""
        assert self.port is not None
        args, name = self.supply.args, self.supply.name
        supply = HeldSupply(self.port, args.max_age)
        if not self._opened(supply, stop):
            return
        try:
            server = server_for(supply, args, self.endpoints)
            try:
                server.start()
            except CannotListen as error:
                log.error("%s; it is not served", error)
                return
            try:
                with printing:
                    for resource in server.resources:
                        print(name, resource, flush=True)
                with advertised(server, args, name), served.recorded(self.port, server.resources):
                    server.serve_until(lambda: bool(stop))
            except SupplyGone as gone:
                log.error("%s; it is not served any more (reconnect = true waits for it instead)", gone)
            except CannotListen as error:
                log.error("%s; it is not served", error)
            finally:
                server.close()
        finally:
            if args.off_on_exit:
                self.switched_off = switch_off(supply, f"{name}: ")
            supply.close()

    def _opened(self, supply: HeldSupply, stop: StopRequest) -> bool:
        told = False
        while not stop:
            try:
                supply.open()
            except Refused as refusal:
                if not self.supply.args.reconnect:
                    log.error("%s; it is not served (reconnect = true tries again)", refusal.text)
                    return False
                if not told:
                    log.warning("%s; trying again every %g s", refusal.text, RECONNECT_EVERY_S)
                    told = True
                deadline = time.monotonic() + RECONNECT_EVERY_S
                while not stop and time.monotonic() < deadline:
                    time.sleep(WATCH_EVERY_S)
                continue
            self.held = True
            return True
        return False


class _Whose(logging.Filter):
    """Names the supply a line of the log is about, found by the thread
    that logs it: the supply's own, those of its endpoints and clients
    (named after it), and its guard's (named after its port)."""

    def __init__(self, racked: list[_Racked]) -> None:
        super().__init__()
        self._racked = racked

    def filter(self, record: logging.LogRecord) -> bool:
        thread = record.threadName or ""
        for each in self._racked:
            name = each.supply.name
            if thread == name or thread.startswith(name + " ") or (each.port and thread.endswith(" " + each.port)):
                message = record.getMessage()
                if not message.startswith(name + " "):
                    record.msg, record.args = f"{name}: {message}", ()
                break
        return True
