"""The process's Channel Access server (caproto's, on an event loop of its
own thread): one search port and one TCP port for the PVs of every supply
served, each supply's under its own prefix and reached only by the clients
its networks allow.

Where it listens and where its beacons go follow its address: on a
loopback address (the default) it binds that address alone and sends its
beacons there alone, whatever the interfaces of the machine; on another it
binds that address and sends beacons as EPICS servers do by default. What
the user set in the environment (EPICS_CAS_INTF_ADDR_LIST,
EPICS_CAS_BEACON_ADDR_LIST, EPICS_CAS_AUTO_BEACON_ADDR_LIST) comes first."""

import asyncio
import concurrent.futures
import contextlib
import ipaddress
import logging
import os
import threading
from collections.abc import Coroutine, Sequence
from typing import Any, TypeVar

import caproto as ca
from caproto.asyncio.server import Context as CaContext
from caproto.asyncio.server import VirtualCircuit
from caproto.asyncio.utils import _create_udp_socket, _UdpTransportWrapper
from caproto.server.common import DisconnectedCircuit

from ..allowed import Network, address_text, refusal
from ..endpoints import LOOPBACK
from ..errors import CannotListen

log = logging.getLogger("qm4410.serve")
# caproto logs a refused put with its traceback; the refusal is logged here,
# in the server's words, and the client gets it as its error.
logging.getLogger("caproto").addHandler(logging.NullHandler())

START_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 5.0
# The most of a client's message held until it is whole: the largest any
# client needs to send here (a channel's name, a put of a PV's value) is
# well under a kilobyte.
MOST_PENDING = 16 * 1024
CA_SERVER_PORT = 5064
CA_REPEATER_PORT = 5065
Result = TypeVar("Result")


class _Circuit(VirtualCircuit):  # type: ignore[misc]
    """caproto's connection to one client, which holds no more of what the
    client sent than MOST_PENDING bytes (a message that claims a larger
    payload, which none of the PVs takes, ends the connection), and gives
    a channel to a PV only to a client its supply's networks allow."""

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

    async def _process_command(self, command: Any) -> Any:
        if isinstance(command, (ca.SearchRequest, ca.CreateChanRequest)):
            host, port = self.circuit.address[:2]
            refused = self.context.refusal_of(command.name, host)
            if refused is not None:
                log.info("epics client %s:%s refused %s: %s", address_text(host), port, command.name, refused)
                if isinstance(command, ca.CreateChanRequest):
                    return [ca.CreateChFailResponse(cid=command.cid)]
                if command.reply == ca.DO_REPLY:
                    return [ca.NotFoundResponse(version=ca.DEFAULT_PROTOCOL_VERSION, cid=command.cid)]
                return []
        return await super()._process_command(command)

    async def let_go(self, channels: set[Any]) -> None:
        """Disconnect the client's channels to any of `channels` (PVs no
        longer served), as a server that stopped would: its client looks
        for them again."""
        held = [chan for chan in self.circuit.channels_sid.values() if self.context.channel_of(chan.name) in channels]
        await self._cull_subscriptions(None, lambda sub: sub.db_entry in channels)
        with contextlib.suppress(DisconnectedCircuit):
            for chan in held:
                await self.send(chan.disconnect())


class _Server(CaContext):  # type: ignore[misc]
    """caproto's server, its beacons sent to `beacons` ((host, port)
    pairs) when given, rather than where the environment says, its PVs
    those added, each with the networks whose clients may reach it (none
    given: any). A search for a PV from elsewhere gets no
    answer, and a channel to it is refused; a connection from where no
    supply's networks allow is closed at once."""

    CircuitClass = _Circuit

    def __init__(self, interfaces: list[str], beacons: list[tuple[str, int]] | None) -> None:
        super().__init__({}, interfaces)
        self._beacons = beacons
        self._networks: dict[Any, Sequence[Network]] = {}  # every PV's channel: the networks it is served to
        self._every_networks: dict[int, Sequence[Network]] = {}  # by the id of a supply's pvdb
        self.started = asyncio.Event()

    def channel_of(self, name: str) -> Any:
        """The channel a client's name for a PV stands for, or None."""
        try:
            return self[name]
        except KeyError:
            return None

    def refusal_of(self, name: str, host: str) -> str | None:
        """Why a client from `host` may not reach the PV `name`, or None
        when it may (or when there is no such PV: caproto tells so)."""
        channel = self.channel_of(name)
        return None if channel is None else refusal(host, self._networks.get(channel, ()))

    def _unwelcome(self, host: str) -> str | None:
        """Why a client from `host` may reach none of the PVs, or None."""
        refusals = [refusal(host, networks) for networks in self._every_networks.values()]
        return refusals[0] if refusals and all(refusals) else None

    async def tcp_handler(self, client: Any, addr: tuple[str, int]) -> None:
        refused = self._unwelcome(addr[0])
        if refused is None:
            await super().tcp_handler(client, addr)
            return
        log.info("epics client %s:%s refused: %s", address_text(addr[0]), addr[1], refused)
        client.writer.close()

    async def _broadcaster_recv_datagram(self, data: bytes, address: tuple[str, int]) -> None:
        if self._unwelcome(address[0]) is None:
            await super()._broadcaster_recv_datagram(data, address)

    async def _broadcaster_queue_iteration(self, address: tuple[str, int], commands: list[Any]) -> None:
        searches_allowed = [
            command
            for command in commands
            if not (isinstance(command, ca.SearchRequest) and self.refusal_of(command.name, address[0]))
        ]
        await super()._broadcaster_queue_iteration(address, searches_allowed)

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

    async def add(self, pvdb: dict[str, Any], networks: Sequence[Network]) -> None:
        for name, channel in pvdb.items():
            self.pvdb[name] = channel
            self._networks[channel] = networks
        self._every_networks[id(pvdb)] = networks

    async def remove(self, pvdb: dict[str, Any]) -> None:
        channels = set(pvdb.values())
        for circuit in list(self.circuits):
            await circuit.let_go(channels)
        for name in [name for name, channel in self.pvdb.items() if channel in channels]:
            del self.pvdb[name]
        for channel in channels:
            self._networks.pop(channel, None)
        self._every_networks.pop(id(pvdb), None)


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


class CaServer:
    """A Channel Access server on `host`, on the UDP port of
    EPICS_CA_SERVER_PORT (5064 by default) for searches and a TCP port of
    caproto's choice (that one where free), serving the PVs added to it:
    those of one supply, or of every supply of a rack, each under its own
    prefix."""

    def __init__(self, host: str = LOOPBACK) -> None:
        self._host = host
        self._interfaces: list[str] = []
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None
        self._server: _Server | None = None
        self._running: concurrent.futures.Future[Any] | None = None

    def open(self) -> None:
        """Listen, and serve from a thread of its own; CannotListen when
        the address cannot be had."""
        host = self._host
        try:
            if ipaddress.ip_address(host).version != 4:
                raise CannotListen(f"cannot listen on {host} for epics: Channel Access is IPv4 only")
        except ValueError:
            raise CannotListen(f"cannot listen on {host} for epics: an IPv4 address is needed") from None
        interfaces, beacons = network_plan(host)
        self._interfaces = interfaces
        loop = asyncio.new_event_loop()
        self._loop = loop
        self._thread = threading.Thread(target=loop.run_forever, name="qm4410 epics", daemon=True)
        self._thread.start()
        self._server = server = self.on_loop(self._made(interfaces, beacons))
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

    @staticmethod
    async def _made(interfaces: list[str], beacons: list[tuple[str, int]] | None) -> _Server:
        return _Server(interfaces, beacons)  # made on its loop, whose queues it makes

    def close(self) -> None:
        """Stop serving and let every client go, within a bounded time."""
        loop, thread, running = self._loop, self._thread, self._running
        self._loop = self._thread = self._running = self._server = None
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

    def add(self, pvdb: dict[str, Any], networks: Sequence[Network]) -> None:
        """Serve the PVs of `pvdb` (by name) from now on, to the clients of
        the `networks` (none: any)."""
        self.on_loop(self._opened().add(pvdb, networks))

    def remove(self, pvdb: dict[str, Any]) -> None:
        """No longer serve the PVs of `pvdb`: every client's channel to one
        is disconnected."""
        if self._server is not None:
            self.on_loop(self._server.remove(pvdb))

    def on_loop(self, work: Coroutine[Any, Any, Result]) -> Result:
        """`work` carried out on the server's loop, from another thread."""
        if self._loop is None:
            work.close()
            raise RuntimeError("the epics server is not open")
        return asyncio.run_coroutine_threadsafe(work, self._loop).result(STOP_TIMEOUT_S)

    @property
    def loop(self) -> asyncio.AbstractEventLoop:
        if self._loop is None:
            raise RuntimeError("the epics server is not open")
        return self._loop

    def resource(self, prefix: str) -> str:
        """Where a client's search finds the PVs under `prefix`."""
        port = int(_environment("EPICS_CA_SERVER_PORT") or CA_SERVER_PORT)
        return f"ca://{self.host}:{port}/{prefix}"

    @property
    def host(self) -> str:
        if not self._interfaces:
            raise RuntimeError("the epics server is not open")
        # The widest, so that the server warns of one that is not loopback.
        return next(
            (address for address in self._interfaces if not ipaddress.ip_address(address).is_loopback),
            self._interfaces[0],
        )

    def _opened(self) -> _Server:
        if self._server is None:
            raise RuntimeError("the epics server is not open")
        return self._server


def _cause(failure: object) -> str:
    cause = getattr(failure, "__cause__", None) or failure
    return getattr(cause, "strerror", None) or str(cause)
