"""The EPICS endpoint: one supply's PVs on a Channel Access server (one of
its own, or the one a rack's supplies share), fed by the guard's readings,
their puts sent through the guard."""

import asyncio
import contextlib
import logging
from collections.abc import Callable

from ...supply.status import Status
from ..endpoints import Context, identification
from ..errors import SupplyGone
from .ca_server import CaServer
from .names import checked_prefix
from .pvs import Pvs

log = logging.getLogger("qm4410.serve")


class Epics:
    """The supply's PVs, each `prefix` followed by its name (VOLT_SP,
    VOLT_RBV, ...), over Channel Access on `host` (None: where the server
    binds), on a server of their own (see CaServer for its ports)."""

    name = "epics"

    def __init__(self, prefix: str, host: str | None = None) -> None:
        self.prefix = checked_prefix(prefix)
        self._own: tuple[str | None] | None = (host,)
        self._server: CaServer | None = None
        self._pvs: Pvs | None = None
        self._context: Context | None = None
        self._readings: asyncio.Queue[Status | None] | None = None
        self._posting: asyncio.Task[None] | None = None
        self._stop_listening: Callable[[], None] | None = None

    @classmethod
    def on(cls, server: CaServer, prefix: str) -> "Epics":
        """The supply's PVs on `server`, which others share (each under a
        prefix of its own): its owner opens and closes it."""
        endpoint = cls(prefix)
        endpoint._own = None
        endpoint._server = server
        return endpoint

    def listen(self, context: Context) -> None:
        if self._own is not None:
            (host,) = self._own
            server = CaServer(host or context.bind)
            server.open()
            self._server = server
        self._context = context
        self._pvs = Pvs(self.prefix, context.guard)

    def start(self) -> None:
        server, pvs, context = self._opened(), self._pvs, self._context
        if pvs is None or context is None:
            raise RuntimeError("the epics endpoint is not listening")
        server.on_loop(self._begin_posting())
        server.add(pvs.pvdb, context.allow)
        self._stop_listening = context.guard.add_listener(self._heard, reads=True)

    def close(self) -> None:
        if self._stop_listening is not None:
            self._stop_listening()
            self._stop_listening = None
        server, pvs = self._server, self._pvs
        self._pvs = None
        if server is not None and pvs is not None and self._readings is not None:
            with contextlib.suppress(RuntimeError):  # a shared server closed already
                server.on_loop(self._end_posting())
                server.remove(pvs.pvdb)
        if self._own is not None and server is not None:
            server.close()
            self._server = None

    @property
    def resource(self) -> str:
        """Where a client's search finds it, and the PVs' prefix."""
        return self._opened().resource(self.prefix)

    @property
    def host(self) -> str:
        return self._opened().host

    def __repr__(self) -> str:
        try:
            where = self.resource
        except RuntimeError:
            where = "not listening"
        return f"<Epics {where}>"

    def _opened(self) -> CaServer:
        if self._server is None:
            raise RuntimeError("the epics endpoint is not listening")
        return self._server

    # The guard's readings, from its thread, posted in their order on the loop.

    def _heard(self, status: Status | None) -> None:
        server, readings = self._server, self._readings
        if server is None or readings is None:
            return
        with contextlib.suppress(RuntimeError):  # the loop closed meanwhile
            server.loop.call_soon_threadsafe(readings.put_nowait, status)

    async def _begin_posting(self) -> None:
        self._readings = asyncio.Queue()
        self._posting = asyncio.create_task(self._post_readings())

    async def _end_posting(self) -> None:
        posting, self._posting = self._posting, None
        if posting is not None:
            posting.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await posting

    async def _post_readings(self) -> None:
        assert self._pvs is not None and self._readings is not None and self._context is not None
        pvs, readings, supply = self._pvs, self._readings, self._context.supply
        while True:
            status = await readings.get()
            while not readings.empty():  # a loop that fell behind posts the latest
                status = readings.get_nowait()
            try:
                identity: str | None = identification(supply.identity())
            except SupplyGone:
                identity = None
            try:
                await pvs.post(status, identity)
            except Exception:  # a fault here must not end the posting
                log.exception("%s: posting a reading failed", self.prefix)
