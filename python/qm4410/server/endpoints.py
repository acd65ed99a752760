"""What a server's endpoint is: a door onto the held supply in one protocol.
The server takes any list of them; those that serve each client over a TCP
connection of its own (RFC 2217, SCPI) share `TcpEndpoint`."""

import abc
import dataclasses
from collections.abc import Sequence
from typing import ClassVar, Protocol

from ..supply.guard import Guard
from ..supply.status import Identity
from .allowed import Network
from .device_lock import DeviceLock
from .held_supply import HeldSupply
from .listener import IDLE_TIMEOUT_S, Client, Listener

LOOPBACK = "127.0.0.1"


@dataclasses.dataclass(frozen=True)
class Context:
    """What every endpoint of a server serves from and obeys: the supply,
    the guard whose rules every request keeps (its limits, slew rates and
    trips; every request also tells its watchdog that a client is there,
    and a switch-on is sent within Guard.switching_on), the networks whose
    clients may connect (none given: any; every endpoint asks
    allowed.refusal of each client before it serves it anything), the
    address to listen on where an endpoint was given none, and how long a
    client may send nothing before it is hung up on (seconds; None: for
    ever); and the lock that the clients of the VISA doors (HiSLIP,
    VXI-11) take, which they share."""

    supply: HeldSupply
    guard: Guard
    allow: Sequence[Network] = ()
    bind: str = LOOPBACK
    idle_timeout: float | None = IDLE_TIMEOUT_S
    device_lock: DeviceLock = dataclasses.field(default_factory=DeviceLock)


def identification(identity: Identity) -> str:
    """Who the supply is, as a client asks it (SCPI's *IDN?): "QM4410",
    the model, serial number and software version, each in printable ASCII
    without the separators ,;" (anything else, as the NUL bytes a serial
    number may hold, as an escape \\xNN)."""
    fields = ("QM4410", identity.model, identity.serial_number, identity.software_version)
    return ",".join(
        "".join(c if " " <= c <= "~" and c not in ',;"' else f"\\x{ord(c):02x}" for c in str(field)) for field in fields
    )


class Endpoint(Protocol):
    """A door onto the supply. The server calls `listen` on every endpoint
    first (so that one that cannot take its address ends the server before
    anyone is served), then `start`, and `close` once it stops."""

    name: str

    def listen(self, context: Context) -> None:
        """Take the endpoint's address; CannotListen when it cannot be had."""

    def start(self) -> None:
        """Begin serving clients."""

    def close(self) -> None:
        """Stop serving and let every client go, within a bounded time."""

    @property
    def resource(self) -> str:
        """What a client opens to reach it, once listening."""

    @property
    def host(self) -> str:
        """The address it listens on, once listening: the server warns of
        one that is not this machine's alone."""


class TcpEndpoint(abc.ABC):
    """An endpoint that listens on a TCP port and serves each client in a
    thread of its own. `host` None listens where the server binds; `port`
    None on the protocol's own port, 0 on a free one."""

    name: str
    default_port: ClassVar[int]
    resource_form: ClassVar[str]  # from {host} and {port}

    def __init__(self, port: int | None = None, host: str | None = None) -> None:
        self._address = (host, port)
        self._listener: Listener | None = None

    @abc.abstractmethod
    def serve_client(self, client: Client, context: Context) -> None:
        """Serve one client until it leaves; an OSError ends its connection."""

    def listen(self, context: Context) -> None:
        host, port = self._address
        address = (host or context.bind, self.default_port if port is None else port)
        self._listener = Listener(
            self.name, address, context.allow, lambda client: self.serve_client(client, context), context.idle_timeout
        )

    def start(self) -> None:
        self._listening().start()

    def close(self) -> None:
        listener, self._listener = self._listener, None
        if listener is not None:
            listener.close()

    @property
    def resource(self) -> str:
        listener = self._listening()
        host = f"[{listener.host}]" if ":" in listener.host else listener.host
        return self.resource_form.format(host=host, port=listener.port)

    @property
    def host(self) -> str:
        return self._listening().host

    @property
    def port(self) -> int:
        """The port it listens on, once listening."""
        return self._listening().port

    def _listening(self) -> Listener:
        if self._listener is None:
            raise RuntimeError(f"the {self.name} endpoint is not listening")
        return self._listener

    def __repr__(self) -> str:
        where = self.resource if self._listener is not None else "not listening"
        return f"<{type(self).__name__} {where}>"
