"""The supply on EPICS Channel Access: `Epics(prefix)`, an endpoint of the
server beside SCPI and RFC 2217, over the same supply and guard. It needs
caproto: pip install 'qm4410[epics]'.

    server = Server(supply, [Scpi(), Epics("LAB:PSU1:")], rules=Rules(limit_voltage=12))

Its PVs are named in pvs.py; where it listens and sends beacons, in
endpoint.py."""

from .endpoint import Epics, checked_prefix

__all__ = ["Epics", "checked_prefix"]
