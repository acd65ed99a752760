"""One supply, many clients: a server that holds the supply's port and
serves it through endpoints, in the supply's own protocol over RFC 2217
(`Rfc2217`) and as a SCPI instrument over a raw TCP socket (`Scpi`); any
object with an endpoint's methods (see `Endpoint`) serves beside them.

    supply = HeldSupply("/dev/ttyUSB0")
    supply.open()                      # Refused when it cannot be
    server = Server(supply, [Rfc2217(), Scpi()], rules=Rules(limit_voltage=12, slew_voltage=2), reconnect=True)
    server.start()                     # CannotListen when an address is taken
    try:
        server.serve_until(lambda: stopped)   # SupplyGone when the port goes, without reconnect
    finally:
        server.close()
        supply.close()

`server.guard` is the one qm4410.Guard that every client of every endpoint
obeys. It prints nothing: its log goes to the "qm4410.serve" logger (the
guard's trips to the "qm4410" logger, of which that is part). `qm4410
serve` is this, run from the command line."""

from .allowed import Network
from .endpoints import LOOPBACK, Context, Endpoint, TcpEndpoint
from .errors import CannotListen, ServerError, SupplyGone
from .held_supply import Asker, HeldSupply
from .listener import Client
from .rfc2217 import Rfc2217
from .scpi.endpoint import Scpi
from .service import Server

__all__ = [
    "LOOPBACK",
    "Asker",
    "CannotListen",
    "Client",
    "Context",
    "Endpoint",
    "HeldSupply",
    "Network",
    "Rfc2217",
    "Scpi",
    "Server",
    "ServerError",
    "SupplyGone",
    "TcpEndpoint",
]
