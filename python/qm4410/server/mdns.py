"""The supply's doors advertised by mDNS (DNS-SD), as LXI instruments
advertise theirs, so that VISA's discovery finds them: _hislip._tcp,
_vxi-11._tcp (the portmapper's port, where VISA asks for the core
channel's), _scpi-raw._tcp and _lxi._tcp, each on the addresses its
endpoint listens on. zeroconf sends and answers on those addresses alone
(its interfaces are them, never every interface of the machine); a
wildcard endpoint (0.0.0.0) is advertised on each IPv4 address the machine
has, since it listens on each.

mDNS answers whoever asks on those interfaces: --allow limits who may
connect to the doors, not who may learn where they are."""

import asyncio
import concurrent.futures
import ipaddress
import logging
import re
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from ..supply.status import Identity
from .endpoints import Endpoint, TcpEndpoint
from .errors import CannotListen
from .hislip.endpoint import Hislip
from .scpi.endpoint import Scpi
from .vxi11.endpoint import Vxi11
from .vxi11.portmapper import PORT as PORTMAPPER_PORT

if TYPE_CHECKING:  # an optional dependency, imported when advertising starts
    from zeroconf import Zeroconf

log = logging.getLogger("qm4410.serve")

REGISTER_TIMEOUT_S = 10.0
MANUFACTURER = "QM4410"  # as *IDN? names it


class Advertiser:
    """The services of `endpoints` (those that have one) for the supply
    `identity`, under an instance name of `name`'s (the supply's, in a
    rack) or the supply's model and serial number."""

    def __init__(self, endpoints: Sequence[Endpoint], identity: Identity, name: str | None = None) -> None:
        self._endpoints = endpoints
        self._identity = identity
        self._name = name
        self._zeroconf: Zeroconf | None = None

    def start(self) -> None:
        """Advertise every service, each once its name is known to be its
        own (a name taken already gets a number); CannotListen when
        zeroconf cannot send on an address."""
        from zeroconf import IPVersion, ServiceInfo

        services = self._services()
        if not services:
            return
        interfaces = sorted({address for _, _, addresses in services for address in addresses})
        identity = self._identity
        instance = _label(self._name or f"{MANUFACTURER} {identity.model} {identity.serial_number}")
        server = _label(f"qm4410-{self._name or identity.serial_number}", "-").lower() + ".local."
        properties = {
            "txtvers": "1",
            "Manufacturer": MANUFACTURER,
            "Model": str(identity.model),
            "SerialNumber": _label(str(identity.serial_number)),
            "FirmwareVersion": str(identity.software_version),
        }
        try:
            zeroconf = _responder()(interfaces=interfaces, ip_version=IPVersion.V4Only)
        except OSError as error:
            raise CannotListen(f"cannot advertise by mDNS on {', '.join(interfaces)}: {error}") from None
        self._zeroconf = zeroconf
        infos = [
            ServiceInfo(
                kind, f"{instance}.{kind}", port=port, properties=properties, server=server, parsed_addresses=addresses
            )
            for kind, port, addresses in services
        ]

        async def register(info: ServiceInfo) -> None:
            registered = await zeroconf.async_register_service(info, allow_name_change=True)
            await registered  # its probing and announcement

        assert zeroconf.loop is not None
        futures = [asyncio.run_coroutine_threadsafe(register(info), zeroconf.loop) for info in infos]
        done, waiting = concurrent.futures.wait(futures, REGISTER_TIMEOUT_S)
        failed = [str(future.exception()) for future in done if future.exception() is not None]
        if waiting or failed:
            self.close()
            raise CannotListen(f"cannot advertise by mDNS on {', '.join(interfaces)}: {failed or 'no answer in time'}")
        for info in infos:
            log.info("advertised by mDNS: %s, port %d, on %s", info.name, info.port, ", ".join(info.parsed_addresses()))

    def close(self) -> None:
        """Withdraw every service (mDNS's goodbye) and stop."""
        zeroconf, self._zeroconf = self._zeroconf, None
        if zeroconf is not None:
            zeroconf.unregister_all_services()
            zeroconf.close()

    def _services(self) -> list[tuple[str, int, list[str]]]:
        """(type, port, addresses) of each service to advertise."""
        services = []
        for endpoint in self._endpoints:
            if not isinstance(endpoint, TcpEndpoint):
                continue
            addresses = _addresses(endpoint.host)
            if not addresses:
                log.warning("%s listens on %s: mDNS advertises IPv4 addresses alone", endpoint.name, endpoint.host)
                continue
            if isinstance(endpoint, Hislip):
                services.append(("_hislip._tcp.local.", endpoint.port, addresses))
            elif isinstance(endpoint, Vxi11):
                if endpoint.registered:
                    services.append(("_vxi-11._tcp.local.", PORTMAPPER_PORT, addresses))
                else:
                    log.warning("%s is not advertised by mDNS: no portmapper tells its port", endpoint.name)
            elif isinstance(endpoint, Scpi):
                # The LXI service names the instrument; it has no web page,
                # so its port is that of the SCPI socket, which every server has.
                services.append(("_scpi-raw._tcp.local.", endpoint.port, addresses))
                services.append(("_lxi._tcp.local.", endpoint.port, addresses))
        return services


def _responder() -> "type[Zeroconf]":
    """zeroconf, answering every question to the group: mDNS lets a
    responder multicast what a querier asked to get by unicast, and on one
    host it must. There every zeroconf's socket is bound to port 5353 of
    the same address, and the system hands a datagram sent there to one of
    them alone, chosen by a hash of its addresses: a unicast answer to a
    client on this machine (the loopback default) may reach this server's
    own socket instead, and then always does. A legacy querier, asking
    from a port of its own, is still answered there."""
    from zeroconf import Zeroconf
    from zeroconf.const import _MDNS_PORT

    class Responder(Zeroconf):
        def async_send(self, out: Any, addr: str | None = None, port: int = _MDNS_PORT, *more: Any) -> None:
            if addr is not None and port == _MDNS_PORT:
                super().async_send(out)
            else:
                super().async_send(out, addr, port, *more)

    return Responder


def _addresses(host: str) -> list[str]:
    """The IPv4 addresses an endpoint on `host` is reached at."""
    address = ipaddress.ip_address(host)
    if address.version != 4:
        return []
    if not address.is_unspecified:
        return [host]
    import ifaddr

    return sorted(
        {
            str(ip.ip)
            for adapter in ifaddr.get_adapters()
            for ip in adapter.ips
            if isinstance(ip.ip, str)  # IPv4 (ifaddr gives IPv6 as tuples)
        }
    )


def _label(text: str, fill: str = " ") -> str:
    """`text` as a DNS label of at most 63 bytes, of letters, digits and `fill`."""
    return re.sub(r"[^A-Za-z0-9]+", fill, text).strip(fill)[:63] or "qm4410"
