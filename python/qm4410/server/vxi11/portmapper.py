"""Where VISA finds a VXI-11 instrument: the portmapper on port 111 (ONC
RPC program 100000, version 2), which tells the port of the core channel.

The endpoint registers it with the portmapper that runs on the machine
(rpcbind), by PMAPPROC_SET, and takes it back by PMAPPROC_UNSET. Where
none runs and port 111 can be had (as root), it runs a minimal one of its
own, on the endpoint's address: NULL, GETPORT and DUMP, enough for VISA,
for this server's mappings alone (SET and UNSET from others are answered
false). Otherwise it tells why VISA will not find the endpoint, whose
resource string then carries its port."""

import contextlib
import errno
import ipaddress
import itertools
import logging
import socket
import threading
from collections.abc import Sequence

from ..allowed import Network, refusal
from ..listener import Client, Listener
from .framing import Call, Packer, Procedure, Unpacker, answer, call, record, reply_to, results_of, serve_calls

log = logging.getLogger("qm4410.serve")

PORTMAPPER = 100_000
VERSION = 2
PORT = 111
NULL, SET, UNSET, GETPORT, DUMP = 0, 1, 2, 3, 4
TCP, UDP = 6, 17
CALL_TIMEOUT_S = 2.0
MOST_CALL = 1024  # the portmapper's calls are small
WATCH_EVERY_S = 0.25

Mapping = tuple[int, int, int, int]  # program, version, protocol, port
_xids = itertools.count(1)


class NoPortmapper(Exception):
    """No portmapper answers on port 111."""


def ask(host: str, procedure: int, arguments: bytes = b"") -> Unpacker:
    """A call to the portmapper at `host`, over TCP: its results;
    NoPortmapper when none is there, or it does not answer."""
    xid = next(_xids)
    try:
        with socket.create_connection((host, PORT), timeout=CALL_TIMEOUT_S) as connection:
            connection.sendall(record(call(xid, PORTMAPPER, VERSION, procedure, arguments)))
            data = b""
            while True:
                header = _exactly(connection, 4)
                marker = int.from_bytes(header, "big")
                data += _exactly(connection, min(marker & 0x7FFF_FFFF, MOST_CALL))
                if marker & 0x8000_0000:
                    break
    except OSError as error:
        raise NoPortmapper(error.strerror or str(error)) from None
    return results_of(data, xid)


def _exactly(connection: socket.socket, count: int) -> bytes:
    data = b""
    while len(data) < count:
        piece = connection.recv(count - len(data))
        if not piece:
            raise ConnectionResetError(errno.ECONNRESET, "the portmapper hung up")
        data += piece
    return data


def _mapping(mapping: Mapping) -> bytes:
    packer = Packer()
    for field in mapping:
        packer.uint(field)
    return packer.bytes()


class Registration:
    """The core channel's mapping (`program`, `version`, TCP, `port`) made
    known on port 111 of `host`, as it can be: `registered` says whether it
    was, `reason` why not."""

    def __init__(self, name: str, host: str, program: int, version: int, port: int) -> None:
        self.name = name
        self.host = host
        self.mapping: Mapping = (program, version, TCP, port)
        self.registered = False
        self.reason = ""
        self.own: OwnPortmapper | None = None
        self._with_rpcbind = False
        # Calls go to this machine's portmapper, on loopback for a wildcard.
        address = ipaddress.ip_address(host)
        self._caller = ("::1" if address.version == 6 else "127.0.0.1") if address.is_unspecified else host

    def register(self, allow: Sequence[Network], idle_timeout: float | None) -> None:
        try:
            self._with_rpcbind = ask(self._caller, SET, _mapping(self.mapping)).bool()
        except NoPortmapper:
            self._run_own(allow, idle_timeout)
            return
        if self._with_rpcbind:
            self.registered = True
            log.info("%s: registered with the portmapper (port %d) as port %d", self.name, PORT, self.mapping[3])
            return
        program, version, protocol, _ = self.mapping
        with contextlib.suppress(NoPortmapper):
            taken = ask(self._caller, GETPORT, _mapping((program, version, protocol, 0))).uint()
            self.reason = (
                f"the portmapper on port {PORT} maps VXI-11 to port {taken} already (another VXI-11 server on this "
                "machine, which VISA finds instead)"
            )
        self.reason = self.reason or f"the portmapper on port {PORT} refused the registration"

    def _run_own(self, allow: Sequence[Network], idle_timeout: float | None) -> None:
        try:
            self.own = OwnPortmapper(self.name, self.host, [self.mapping], allow, idle_timeout)
        except OSError as error:
            needs = " (it needs root, or CAP_NET_BIND_SERVICE)" if error.errno == errno.EACCES else ""
            self.reason = (
                f"no portmapper runs on this machine, and port {PORT} could not be had for one of its own"
                f"{needs}: {error.strerror or error}; start rpcbind, or run the server where it may bind port {PORT}"
            )
            return
        self.registered = True
        log.info("%s: no portmapper ran: serving a minimal one of its own on %s:%d", self.name, self.host, PORT)

    def tell(self) -> None:
        if not self.registered:
            log.warning(
                "warning: %s: VISA will not find it through the portmapper (TCPIP::HOST::inst0::INSTR): %s; "
                "clients that take a port open it with the port in the resource string",
                self.name,
                self.reason,
            )

    def start(self) -> None:
        if self.own is not None:
            self.own.start()

    def close(self) -> None:
        if self.own is not None:
            self.own.close()
            self.own = None
        if self._with_rpcbind:
            self._with_rpcbind = False
            with contextlib.suppress(NoPortmapper):
                ask(self._caller, UNSET, _mapping(self.mapping))


class OwnPortmapper:
    """A portmapper of this server's own on `host`, over TCP (through a
    Listener, which lets in only the allowed networks) and UDP (whose
    datagrams from elsewhere are dropped)."""

    def __init__(
        self, name: str, host: str, mappings: list[Mapping], allow: Sequence[Network], idle_timeout: float | None
    ) -> None:
        self._mappings = [(PORTMAPPER, VERSION, TCP, PORT), (PORTMAPPER, VERSION, UDP, PORT), *mappings]
        self._allow = allow
        family = socket.AF_INET6 if ipaddress.ip_address(host).version == 6 else socket.AF_INET
        self._udp = socket.socket(family, socket.SOCK_DGRAM)
        try:
            self._udp.bind((host, PORT))
            self._udp.settimeout(WATCH_EVERY_S)
            self._tcp = Listener(f"{name} portmapper", (host, PORT), allow, self._serve, idle_timeout)
        except BaseException:
            self._udp.close()
            raise
        self._procedures: dict[int, Procedure] = {NULL: lambda arguments: b"", GETPORT: self._port, DUMP: self._dump}
        self._procedures[SET] = self._procedures[UNSET] = lambda arguments: Packer().uint(0).bytes()
        self._closed = threading.Event()
        self._thread = threading.Thread(target=self._answer_datagrams, name=f"{name} portmapper", daemon=True)

    def start(self) -> None:
        self._tcp.start()
        self._thread.start()

    def close(self) -> None:
        self._closed.set()
        self._tcp.close()
        if self._thread.is_alive():
            self._thread.join()
        self._udp.close()

    def _respond(self, call: Call) -> bytes:
        return answer(call, PORTMAPPER, VERSION, self._procedures)

    def _serve(self, client: Client) -> None:
        serve_calls(client, MOST_CALL, self._respond)

    def _answer_datagrams(self) -> None:
        while not self._closed.is_set():
            try:
                data, peer = self._udp.recvfrom(MOST_CALL)
            except TimeoutError:
                continue
            except OSError:
                return
            refused = refusal(peer[0], self._allow)
            if refused is not None:
                log.debug("portmapper: a datagram from %s dropped: %s", peer[0], refused)
                continue
            answered = reply_to(data, self._respond)
            if answered is not None:
                with contextlib.suppress(OSError):
                    self._udp.sendto(answered, peer)

    def _port(self, arguments: Unpacker) -> bytes:
        program, version, protocol = arguments.uint(), arguments.uint(), arguments.uint()
        arguments.uint()
        port = next((m[3] for m in self._mappings if m[:3] == (program, version, protocol)), 0)
        return Packer().uint(port).bytes()

    def _dump(self, arguments: Unpacker) -> bytes:
        packer = Packer()
        for mapping in self._mappings:
            packer.uint(1)
            for field in mapping:
                packer.uint(field)
        return packer.uint(0).bytes()
