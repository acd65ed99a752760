"""What a TCP endpoint listens with: it lets in the clients whose address
is allowed, and serves each in a thread of its own, so that a
client that sends nothing, or too much, or stops reading, keeps only its own
thread waiting; and no client keeps its place for ever: one that has sent
nothing for the idle time-out is hung up on, and when a new client finds
the endpoint full, one that has sent nothing yet, or else has been idle
for a while, makes room for it."""

import contextlib
import ipaddress
import logging
import select
import socket
import threading
import time
from collections.abc import Callable, Sequence
from typing import Any

from .allowed import Network, address_text, refusal
from .errors import CannotListen

log = logging.getLogger("qm4410.serve")

MAX_CLIENTS = 64  # per endpoint; each costs a thread
RECEIVE_SIZE = 4096
# A client whose reply cannot be sent for this long is hung up on: its
# thread is not kept waiting forever. The connection holds replies before
# that: the client system's receive buffer and SEND_BUFFER here (a fixed
# size, which the system would otherwise let grow to megabytes).
SEND_TIMEOUT_S = 10.0
SEND_BUFFER = 64 * 1024
IDLE_TIMEOUT_S = 300.0
# A client that sent something this recently is in use: a newcomer to a
# full endpoint does not take its place.
IN_USE_S = 2.0
# How long closing waits for the clients' threads; one inside an exchange
# with the supply is done within about two reply windows.
CLOSE_WAIT_S = 2.0


class Client:
    """One client's connection, named for the log. `idle_timeout` (seconds;
    None: never) is how long it may send nothing before it is hung up on."""

    def __init__(
        self,
        connection: socket.socket,
        peer: tuple[Any, ...],
        endpoint: str,
        idle_timeout: float | None = IDLE_TIMEOUT_S,
    ) -> None:
        self._socket = connection
        self._write_lock = threading.Lock()
        self._idle_timeout = idle_timeout
        self.endpoint = endpoint
        self.name = f"{endpoint} client {address_text(peer[0])}:{peer[1]}"
        # Since when it has been waiting for the client to send something;
        # None while what it sent is being served.
        self.idle_since: float | None = time.monotonic()
        self.sent_nothing = True  # since it connected
        self.hung_up: str | None = None  # why the server hung up on it
        # Replies are small and each is awaited: send each at once.
        connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SEND_BUFFER)
        connection.settimeout(SEND_TIMEOUT_S)

    def receive(self) -> bytes:
        """What the client sent next; b"" once it has left, or was hung up
        on, or has sent nothing for the idle time-out."""
        self.idle_since = since = time.monotonic()
        while True:
            left = None if self._idle_timeout is None else since + self._idle_timeout - time.monotonic()
            if left is not None and left <= 0:
                self.hang_up(f"it sent nothing for {self._idle_timeout:g} s, the idle time-out")
                return b""
            try:
                readable, _, _ = select.select([self._socket], [], [], left)
                if not readable:
                    continue
                data = self._socket.recv(RECEIVE_SIZE)
            except TimeoutError:
                continue
            except (OSError, ValueError):  # ValueError: closed by another thread meanwhile
                return b""
            self.idle_since = None
            self.sent_nothing = self.sent_nothing and not data
            return data

    def write(self, data: bytes) -> None:
        """Send `data` whole; raises OSError when the client cannot take it
        (gone, or reading nothing), which ends its connection."""
        with self._write_lock:
            self._socket.sendall(data)

    def hang_up(self, why: str | None = None) -> None:
        """End the connection from any thread: the client's own wakes up to
        find it closed. `why`, if given, goes into the log."""
        if why is not None and self.hung_up is None:
            self.hung_up = why
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
        idle_timeout: float | None = IDLE_TIMEOUT_S,
    ) -> None:
        self.endpoint = endpoint
        self._allowed = allowed
        self._idle_timeout = idle_timeout
        self._serve_client = serve_client
        self._clients: dict[Client, threading.Thread] = {}
        self._lock = threading.Lock()
        self._closed = False
        host, port = address
        try:
            family = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0][0]
            # IPv6's every address ("::") takes IPv4 clients too, where the system can.
            every = family == socket.AF_INET6 and ipaddress.ip_address(host.split("%")[0]).is_unspecified
            self._socket = socket.create_server(
                (host, port), family=family, dualstack_ipv6=every and socket.has_dualstack_ipv6()
            )
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
        address = address_text(peer[0])
        refused = refusal(address, self._allowed)
        with self._lock:
            if refused is None and self._closed:
                refused = "the server stops"
            elif refused is None and len(staying := [c for c in self._clients if c.hung_up is None]) >= MAX_CLIENTS:
                making_room = _making_room(staying, time.monotonic())
                if making_room is None:
                    refused = f"{MAX_CLIENTS} clients are connected already, each of them in use"
                else:
                    making_room.hang_up(
                        f"a new client came to a full endpoint ({MAX_CLIENTS} clients), and this one "
                        + ("had sent nothing yet" if making_room.sent_nothing else "was idle longest")
                        + f" ({time.monotonic() - (making_room.idle_since or 0.0):.1f} s)"
                    )
            if refused is None:
                client = Client(connection, peer, self.endpoint, self._idle_timeout)
                thread = threading.Thread(target=self._serve, args=(client,), name=client.name, daemon=True)
                self._clients[client] = thread
        if refused is not None:
            log.info("%s client %s:%s refused: %s", self.endpoint, address, peer[1], refused)
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
        if client.hung_up is not None:
            how = f"was hung up on: {client.hung_up}"
        log.info("%s %s after %.1f s", client.name, how, time.monotonic() - started)


def _making_room(clients: list[Client], now: float) -> Client | None:
    """The client a newcomer to a full endpoint takes the place of, if any:
    of those that have sent nothing yet, the one connected longest; else the
    one idle longest, if it has been idle IN_USE_S at least. A client in the
    middle of a command, or between two commands of its work, is in use and
    keeps its place: a burst of new connections churns among themselves."""
    waiting = [client for client in clients if client.idle_since is not None]
    newcomers = [client for client in waiting if client.sent_nothing]
    idle = [client for client in waiting if not client.sent_nothing and now - (client.idle_since or now) >= IN_USE_S]
    candidates = newcomers or idle
    return min(candidates, key=lambda client: client.idle_since or now) if candidates else None
