"""The EPICS endpoint: a Channel Access server (caproto's, on an event loop
of its own thread) whose PVs the guard's readings feed and whose puts go
through the guard.

Where it listens and where its beacons go follow the server's address:
on a loopback address (the default) it binds that address alone and sends
its beacons there alone, whatever the interfaces of the machine; on another
it binds that address and sends beacons as EPICS servers do by default.
What the user set in the environment (EPICS_CAS_INTF_ADDR_LIST,
EPICS_CAS_BEACON_ADDR_LIST, EPICS_CAS_AUTO_BEACON_ADDR_LIST) comes first."""

import asyncio
import concurrent.futures
import ipaddress
import logging
import os
import threading
from collections.abc import Sequence
from typing import Any

from caproto.asyncio.server import Context as CaContext
from caproto.asyncio.server import VirtualCircuit
from caproto.asyncio.utils import _create_udp_socket, _UdpTransportWrapper
from caproto.server.common import DisconnectedCircuit

from ...supply.status import Status
from ..allowed import Network, address_text, refusal
from ..endpoints import Context, identification
from ..errors import CannotListen, SupplyGone
from .names import checked_prefix
from .pvs import Pvs

log = logging.getLogger("qm4410.serve")
# caproto logs a refused put with its traceback; the refusal is logged here,
# in the server's words, and the client gets it as its error.
logging.getLogger("caproto").addHandler(logging.NullHandler())

START_TIMEOUT_S = 10.0
# The most of a client's message held until it is whole: the largest any
# client needs to send here (a channel's name, a put of a PV's value) is
# well under a kilobyte.
MOST_PENDING = 16 * 1024
STOP_TIMEOUT_S = 5.0
CA_SERVER_PORT = 5064
CA_REPEATER_PORT = 5065


class _Circuit(VirtualCircuit):  # type: ignore[misc]
    """caproto's connection to one client, which holds no more of what the
    client sent than MOST_PENDING bytes: a message that claims a larger
    payload (none of the PVs takes one) ends the connection."""

    async def recv(self) -> None:
        await super().recv()
        # caproto keeps a message's bytes here until it has come whole.
        pending = len(self.circuit._data)
        if pending > MOST_PENDING:
            log.info(
                "epics client %s:%s was hung up on: it sent %d bytes of a message not yet whole, more than the %d "
                "any message to this server takes",
                address_text(self.circuit.address[0]),
                self.circuit.address[1],
                pending,
                MOST_PENDING,
            )
            await self._on_disconnect()
            raise DisconnectedCircuit()


class _Server(CaContext):  # type: ignore[misc]
    """caproto's server, its beacons sent to `beacons` ((host, port)
    pairs) when given, rather than where the environment says, serving only
    the clients from the `allow` networks (none given: any): a connection
    from elsewhere is closed at once, and a search from there gets no
    answer."""

    CircuitClass = _Circuit

    def __init__(
        self,
        pvdb: dict[str, Any],
        interfaces: list[str],
        beacons: list[tuple[str, int]] | None,
        allow: Sequence[Network] = (),
    ) -> None:
        super().__init__(pvdb, interfaces)
        self._beacons = beacons
        self._allow = allow
        self.started = asyncio.Event()

    async def tcp_handler(self, client: Any, addr: tuple[str, int]) -> None:
        refused = refusal(addr[0], self._allow)
        if refused is None:
            await super().tcp_handler(client, addr)
            return
        log.info("epics client %s:%s refused: %s", address_text(addr[0]), addr[1], refused)
        client.writer.close()

    async def _broadcaster_recv_datagram(self, data: bytes, address: tuple[str, int]) -> None:
        if refusal(address[0], self._allow) is None:
            await super()._broadcaster_recv_datagram(data, address)

    async def broadcast_beacon_loop(self) -> None:
        # The first beacon is sent from here: what the environment named is
        # replaced before anything has gone there.
        if self._beacons is not None:
            for _, transport in self.beacon_socks.values():
                transport.close()
            self.beacon_socks.clear()
            for address in self._beacons:
                sock = _create_udp_socket()
                sock.connect(address)
                self.beacon_socks[address] = (self.interfaces[0], _UdpTransportWrapper(sock, address))
        self.started.set()
        await super().broadcast_beacon_loop()


def _environment(name: str) -> str | None:
    return os.environ.get(name) or None


def network_plan(host: str) -> tuple[list[str], list[tuple[str, int]] | None]:
    """The interfaces to bind and the beacons' addresses (None: caproto's,
    from the environment) for a server on `host`."""
    interfaces = _environment("EPICS_CAS_INTF_ADDR_LIST")
    bound = interfaces.split() if interfaces else [host]
    told = _environment("EPICS_CAS_BEACON_ADDR_LIST") or _environment("EPICS_CAS_AUTO_BEACON_ADDR_LIST")
    if told or not all(ipaddress.ip_address(address).is_loopback for address in bound):
        return bound, None
    port = int(_environment("EPICS_CAS_BEACON_PORT") or _environment("EPICS_CA_REPEATER_PORT") or CA_REPEATER_PORT)
    return bound, [(address, port) for address in bound]


def name_beacons_in_the_environment(host: str) -> None:
    """Where the user named no beacon addresses, name in this process's
    environment those that network_plan gives a server on `host`, so that
    caproto opens its beacon sockets there itself: its own default, a socket
    to the broadcast address, is left open on every address where that
    address cannot be reached (a machine or namespace with loopback alone).
    For a process that runs no other thread yet (the command, before it
    serves anything): the environment is the whole process's."""
    try:
        _, beacons = network_plan(host)
    except ValueError:
        return  # no address: listening refuses it
    if beacons is not None:
        os.environ["EPICS_CAS_BEACON_ADDR_LIST"] = " ".join(address for address, _ in beacons)
        os.environ["EPICS_CAS_AUTO_BEACON_ADDR_LIST"] = "NO"
        os.environ["EPICS_CAS_BEACON_PORT"] = str(beacons[0][1])


class Epics:
    """The supply's PVs, each `prefix` followed by its name (VOLT_SP,
    VOLT_RBV, ...), over Channel Access on `host` (None: where the server
    binds), on the UDP port of EPICS_CA_SERVER_PORT (5064 by default) for
    searches and a TCP port of caproto's choice (that one where free)."""

    name = "epics"

    def __init__(self, prefix: str, host: str | None = None) -> None:
        self.prefix = checked_prefix(prefix)
        self._host = host
        self._interfaces: list[str] = []
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None
        self._running: concurrent.futures.Future[Any] | None = None
        self._readings: asyncio.Queue[Status | None] | None = None
        self._pvs: Pvs | None = None
        self._context: Context | None = None
        self._stop_listening: Any = None

    def listen(self, context: Context) -> None:
        host = self._host or context.bind
        try:
            if ipaddress.ip_address(host).version != 4:
                raise CannotListen(f"cannot listen on {host} for epics: Channel Access is IPv4 only")
        except ValueError:
            raise CannotListen(f"cannot listen on {host} for epics: an IPv4 address is needed") from None
        interfaces, beacons = network_plan(host)
        self._context = context
        self._pvs = Pvs(self.prefix, context.guard)
        self._interfaces = interfaces
        loop = asyncio.new_event_loop()
        self._loop = loop
        self._thread = threading.Thread(target=loop.run_forever, name=f"qm4410 epics {self.prefix}", daemon=True)
        self._thread.start()
        server = asyncio.run_coroutine_threadsafe(self._make(interfaces, beacons), loop).result()
        self._running = asyncio.run_coroutine_threadsafe(server.run(), loop)
        started = asyncio.run_coroutine_threadsafe(server.started.wait(), loop)
        concurrent.futures.wait(
            [started, self._running], START_TIMEOUT_S, return_when=concurrent.futures.FIRST_COMPLETED
        )
        if not started.done() or self._running.done():
            failure = self._running.exception() if self._running.done() else "it did not start in time"
            started.cancel()
            self.close()
            raise CannotListen(f"cannot listen on {' '.join(interfaces)} for epics: {_cause(failure)}")

    async def _make(self, interfaces: list[str], beacons: list[tuple[str, int]] | None) -> _Server:
        assert self._pvs is not None
        self._readings = asyncio.Queue()
        assert self._context is not None
        return _Server(self._pvs.pvdb, interfaces, beacons, self._context.allow)

    def start(self) -> None:
        loop, context = self._loop, self._context
        if loop is None or context is None:
            raise RuntimeError("the epics endpoint is not listening")
        asyncio.run_coroutine_threadsafe(self._post_readings(), loop)
        self._stop_listening = context.guard.add_listener(self._heard, reads=True)

    def close(self) -> None:
        if self._stop_listening is not None:
            self._stop_listening()
            self._stop_listening = None
        loop, thread, running = self._loop, self._thread, self._running
        self._loop = self._thread = self._running = None
        if loop is None or thread is None:
            return

        async def stop() -> None:
            for task in asyncio.all_tasks():
                if task is not asyncio.current_task():
                    task.cancel()

        if running is not None:
            asyncio.run_coroutine_threadsafe(stop(), loop).result(STOP_TIMEOUT_S)
            concurrent.futures.wait([running], STOP_TIMEOUT_S)
        loop.call_soon_threadsafe(loop.stop)
        thread.join(STOP_TIMEOUT_S)
        if not thread.is_alive():
            loop.close()

    @property
    def resource(self) -> str:
        """Where a client's search finds it, and the PVs' prefix."""
        port = int(_environment("EPICS_CA_SERVER_PORT") or CA_SERVER_PORT)
        return f"ca://{self.host}:{port}/{self.prefix}"

    @property
    def host(self) -> str:
        if not self._interfaces:
            raise RuntimeError("the epics endpoint is not listening")
        # The widest, so that the server warns of one that is not loopback.
        return next(
            (address for address in self._interfaces if not ipaddress.ip_address(address).is_loopback),
            self._interfaces[0],
        )

    def __repr__(self) -> str:
        where = self.resource if self._interfaces else "not listening"
        return f"<Epics {where}>"

    # The guard's readings, from its thread, posted in their order on the loop.

    def _heard(self, status: Status | None) -> None:
        loop, readings = self._loop, self._readings
        if loop is not None and readings is not None:
            loop.call_soon_threadsafe(readings.put_nowait, status)

    async def _post_readings(self) -> None:
        assert self._pvs is not None and self._readings is not None and self._context is not None
        while True:
            status = await self._readings.get()
            while not self._readings.empty():  # a loop that fell behind posts the latest
                status = self._readings.get_nowait()
            try:
                identity: str | None = identification(self._context.supply.identity())
            except SupplyGone:
                identity = None
            try:
                await self._pvs.post(status, identity)
            except Exception:  # a fault here must not end the posting
                log.exception("%s: posting a reading failed", self.prefix)


def _cause(failure: object) -> str:
    cause = getattr(failure, "__cause__", None) or failure
    return getattr(cause, "strerror", None) or str(cause)
