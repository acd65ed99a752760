"""The supply on EPICS Channel Access: `Epics(prefix)`, an endpoint of the
server beside SCPI and RFC 2217, over the same supply and guard. It needs
caproto: pip install 'qm4410[epics]'.

    server = Server(supply, [Scpi(), Epics("LAB:PSU1:")], rules=Rules(limit_voltage=12))

Its PVs are named in pvs.py; the Channel Access server, where it listens
and sends beacons, in ca_server.py: one serves every supply of a rack,
each under its own prefix (`Epics.on`)."""

from typing import TYPE_CHECKING, Any

from .names import checked_prefix

if TYPE_CHECKING:
    from .endpoint import Epics

__all__ = ["Epics", "checked_prefix"]


def __getattr__(name: str) -> Any:
    # The endpoint imports caproto: only once it is asked for.
    if name == "Epics":
        from .endpoint import Epics

        return Epics
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
