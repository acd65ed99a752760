"""What a TCP endpoint listens with: it lets in the clients whose address
is allowed, and serves each in a thread of its own, so that a
client that sends nothing, or too much, or stops reading, keeps only its own
thread waiting."""

import contextlib
import ipaddress
import logging
import socket
import threading
import time
from collections.abc import Callable, Sequence
from typing import Any

from .errors import CannotListen

log = logging.getLogger("qm4410.serve")

Network = ipaddress.IPv4Network | ipaddress.IPv6Network

MAX_CLIENTS = 64  # per endpoint; each costs a thread
RECEIVE_SIZE = 4096
# A client that takes none of a reply for this long is hung up on: its
# thread is not kept waiting forever.
SEND_TIMEOUT_S = 10.0
# How long closing waits for the clients' threads; one inside an exchange
# with the supply is done within about two reply windows.
CLOSE_WAIT_S = 2.0


class Client:
    """One client's connection, named for the log."""

    def __init__(self, connection: socket.socket, peer: tuple[Any, ...], endpoint: str) -> None:
        self._socket = connection
        self._write_lock = threading.Lock()
        self.name = f"{endpoint} client {_address_text(peer[0])}:{peer[1]}"
        # Replies are small and each is awaited: send each at once.
        connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        connection.settimeout(SEND_TIMEOUT_S)

    def receive(self) -> bytes:
        """What the client sent next; b"" once it has left or was hung up on.
        A client may stay quiet for as long as it likes."""
        while True:
            try:
                return self._socket.recv(RECEIVE_SIZE)
            except TimeoutError:
                continue
            except OSError:
                return b""

    def write(self, data: bytes) -> None:
        """Send `data` whole; raises OSError when the client cannot take it
        (gone, or reading nothing), which ends its connection."""
        with self._write_lock:
            self._socket.sendall(data)

    def hang_up(self) -> None:
        """End the connection from any thread: the client's own wakes up to
        find it closed."""
        with contextlib.suppress(OSError):
            self._socket.shutdown(socket.SHUT_RDWR)

    def close(self) -> None:
        self.hang_up()
        self._socket.close()


class Listener:
    """Listening on `address` from construction; serving from start()."""

    def __init__(
        self,
        endpoint: str,
        address: tuple[str, int],
        allowed: Sequence[Network],
        serve_client: Callable[[Client], None],
    ) -> None:
        self.endpoint = endpoint
        self._allowed = allowed
        self._serve_client = serve_client
        self._clients: dict[Client, threading.Thread] = {}
        self._lock = threading.Lock()
        self._closed = False
        host, port = address
        try:
            family = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0][0]
            self._socket = socket.create_server((host, port), family=family)
        except OSError as error:
            raise CannotListen(f"cannot listen on {host}:{port} for {endpoint}: {error.strerror or error}") from None
        listening = self._socket.getsockname()
        self.host: str = listening[0]
        self.port: int = listening[1]
        self._accepting = threading.Thread(target=self._accept, name=f"{endpoint} listener", daemon=True)

    def start(self) -> None:
        self._accepting.start()

    def close(self) -> None:
        """Stop listening, hang up on every client and wait (a bounded time)
        for their threads to end."""
        with self._lock:
            self._closed = True
            clients = dict(self._clients)
        with contextlib.suppress(OSError):
            self._socket.shutdown(socket.SHUT_RDWR)  # wakes the accept() that waits
        self._socket.close()
        for client in clients:
            client.hang_up()
        deadline = time.monotonic() + CLOSE_WAIT_S
        for thread in clients.values():
            thread.join(max(0.0, deadline - time.monotonic()))

    def _accept(self) -> None:
        while True:
            try:
                connection, peer = self._socket.accept()
            except OSError:
                return  # closed
            self._let_in(connection, peer)

    def _let_in(self, connection: socket.socket, peer: tuple[Any, ...]) -> None:
        address = _address_text(peer[0])
        refusal = None
        if self._allowed and not any(ipaddress.ip_address(address) in network for network in self._allowed):
            refusal = "its address is not in any --allow network"
        with self._lock:
            if self._closed:
                refusal = "the server stops"
            elif len(self._clients) >= MAX_CLIENTS:
                refusal = f"{MAX_CLIENTS} clients are connected already"
            if refusal is None:
                client = Client(connection, peer, self.endpoint)
                thread = threading.Thread(target=self._serve, args=(client,), name=client.name, daemon=True)
                self._clients[client] = thread
        if refusal is not None:
            log.info("%s client %s:%s refused: %s", self.endpoint, address, peer[1], refusal)
            connection.close()
            return
        thread.start()

    def _serve(self, client: Client) -> None:
        log.info("%s connected", client.name)
        started = time.monotonic()
        how = "left"
        try:
            self._serve_client(client)
        except OSError as error:  # the connection broke, or the client stopped reading
            how = f"was let go: {error}"
        except Exception:
            log.exception("%s: the server failed serving it", client.name)
            how = "was let go"
        finally:
            client.close()
            with self._lock:
                del self._clients[client]
        log.info("%s %s after %.1f s", client.name, how, time.monotonic() - started)


def _address_text(host: str) -> str:
    """An IPv4 client of a dual-stack socket as its plain IPv4 address."""
    address = ipaddress.ip_address(host.split("%")[0])
    if isinstance(address, ipaddress.IPv6Address) and address.ipv4_mapped:
        return str(address.ipv4_mapped)
    return str(address)
