"""VXI-11, the VISA instrument protocol of LXI instruments before HiSLIP:
the supply as TCPIP::HOST::inst0::INSTR, its core channel on a port of its
own (a free one by default) that the portmapper on port 111 tells, and its
abort channel on another."""

import logging
from collections.abc import Callable

from ..endpoints import Context, TcpEndpoint
from ..listener import Client, Listener
from ..scpi.reporting import Conditions
from .framing import answer, serve_calls
from .links import DEVICE, DEVICE_ASYNC, DEVICE_CORE, MOST_RECORD, VERSION, Links
from .portmapper import Registration

log = logging.getLogger("qm4410.serve")


class Vxi11(TcpEndpoint):
    """VXI-11's core and abort channels, registered with the portmapper (see
    Registration). Its resource string carries the core channel's port
    when the portmapper could not be told of it."""

    name = "vxi11"
    default_port = 0
    resource_form = "TCPIP::{host}::" + DEVICE + "::INSTR"

    def __init__(self, port: int | None = None, host: str | None = None) -> None:
        super().__init__(port, host)
        self._links: Links | None = None
        self._abort: Listener | None = None
        self._registration: Registration | None = None
        self._closers: list[Callable[[], None]] = []

    def listen(self, context: Context) -> None:
        super().listen(context)
        try:
            self._listen_too(context)
        except BaseException:
            self.close()
            raise

    def _listen_too(self, context: Context) -> None:
        conditions = Conditions(context.guard)
        self._closers.append(conditions.close)
        self._abort = abort = Listener(
            f"{self.name} abort", (self.host, 0), context.allow, self._serve_abort, context.idle_timeout
        )
        self._closers.append(abort.close)
        self._links = links = Links(context, conditions, lambda: abort.port)
        self._closers.append(links.destroy_all)  # first: every wait of a link ends
        registration = Registration(self.name, self.host, DEVICE_CORE, VERSION, self._listening().port)
        registration.register(context.allow, context.idle_timeout)
        registration.tell()
        self._registration = registration
        self._closers.append(registration.close)

    def start(self) -> None:
        super().start()
        assert self._abort is not None and self._registration is not None
        self._abort.start()
        self._registration.start()

    def close(self) -> None:
        while self._closers:
            self._closers.pop()()
        super().close()

    @property
    def registered(self) -> bool:
        """Whether the portmapper tells clients where it is."""
        return self._registration is not None and self._registration.registered

    @property
    def resource(self) -> str:
        resource = super().resource
        if self._registration is not None and not self.registered:
            host = resource.split("::")[1]
            return resource.replace(f"::{host}::", f"::{host},{self._listening().port}::", 1)
        return resource

    def serve_client(self, client: Client, context: Context) -> None:
        links = self._links
        if links is None:
            return  # closed meanwhile
        procedures = links.core_procedures(client)
        try:
            serve_calls(client, MOST_RECORD, lambda call: answer(call, DEVICE_CORE, VERSION, procedures))
        finally:
            links.destroy_all(client)

    def _serve_abort(self, client: Client) -> None:
        links = self._links
        if links is not None:
            procedures = links.abort_procedures()
            serve_calls(client, MOST_RECORD, lambda call: answer(call, DEVICE_ASYNC, VERSION, procedures))
