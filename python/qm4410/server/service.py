"""A server: one held supply, served to many clients at once through its
endpoints until a stop is asked for, and what it does when the supply's
port goes away."""

import ipaddress
import logging
import time
from collections.abc import Callable, Sequence
from types import TracebackType
from typing import Self

from ..supply.errors import SupplyError
from ..supply.guard import Rules
from .allowed import Network
from .autosave import Autosave
from .endpoints import LOOPBACK, Context, Endpoint
from .errors import SupplyGone
from .guarding import described, guard_over
from .held_supply import HeldSupply
from .listener import IDLE_TIMEOUT_S
from .state_file import StateFile

log = logging.getLogger("qm4410.serve")

RECONNECT_EVERY_S = 1.0
# After the port has gone, the server goes on answering (every command
# fails) for this long before it ends, so that a SCPI client in the middle
# of its work learns of it from an answer: VISA clients take a connection
# that closes under a query for a time-out.
LOSS_NOTICE_S = 1.0
WATCH_EVERY_S = 0.05  # how soon a stop, or the port's loss, is acted on


class Server:
    """`supply` (opened by its owner, who also closes it) served through
    `endpoints` under one guard, `guard`, that keeps `rules` (limits, slew
    rates, trips, a watchdog: see qm4410.Guard) for every client of every
    endpoint, each client let in only from the
    `allow` networks (none: any) and hung up on once it has sent nothing
    for `idle_timeout` seconds (None: never); endpoints given no host of
    their own listen on `bind`. With `reconnect`, a supply whose port goes
    away is opened again once it is back, rather than ending the server.
    With a `state` file, the set-points are kept there and restored when
    the supply comes back without them (see Autosave; `restore_output`
    switches the output on again too).

        supply = HeldSupply("/dev/ttyUSB0")
        supply.open()
        with Server(supply, [Rfc2217(), Scpi(port=0)], rules=Rules(limit_voltage=12)) as server:
            print(server.resources)
            server.serve_until(lambda: stopped)
        supply.close()

    Its log, with every client coming and going (and at DEBUG every
    command), goes to the "qm4410.serve" logger."""

    def __init__(
        self,
        supply: HeldSupply,
        endpoints: Sequence[Endpoint],
        *,
        rules: Rules | None = None,
        allow: Sequence[Network] = (),
        bind: str = LOOPBACK,
        reconnect: bool = False,
        idle_timeout: float | None = IDLE_TIMEOUT_S,
        state: StateFile | None = None,
        restore_output: bool = False,
    ) -> None:
        self.supply = supply
        self.endpoints = list(endpoints)
        self.guard = guard_over(supply, rules)
        self.context = Context(supply, self.guard, allow, bind, idle_timeout)
        self.reconnect = reconnect
        self.autosave = None if state is None else Autosave(supply, self.guard, state, restore_output=restore_output)
        self._listening: list[Endpoint] = []

    def start(self) -> None:
        """Listen on every endpoint, then serve them all; CannotListen, with
        nobody served, when one cannot take its address."""
        try:
            for endpoint in self.endpoints:
                endpoint.listen(self.context)
                self._listening.append(endpoint)
        except BaseException:
            self.close()
            raise
        self.guard.start()
        self._read_the_bounds()
        if self.autosave is not None:
            self.autosave.start()
        for endpoint in self.endpoints:
            endpoint.start()
        identity = self.supply.identity()
        log.info("serving the %s, serial number %s, on %s", identity.model, identity.serial_number, self.supply.port)
        log.info("the guard's rules: %s", described(self.guard.rules))
        for endpoint in self.endpoints:
            if not ipaddress.ip_address(endpoint.host).is_loopback:
                log.warning(
                    "warning: %s listens on %s: anyone who can reach that address can drive the supply (neither "
                    "SCPI nor RFC 2217 asks who is there); --allow NETWORK limits who may connect",
                    endpoint.name,
                    endpoint.host,
                )

    @property
    def resources(self) -> list[str]:
        """What a client opens to reach each endpoint, in their order."""
        return [endpoint.resource for endpoint in self.endpoints]

    def serve_until(self, stop: Callable[[], bool]) -> None:
        """Serve until `stop()` is true (asked every WATCH_EVERY_S). When the
        supply's port goes away, every client is told; then, with
        `reconnect`, the supply is opened again every RECONNECT_EVERY_S
        until it is back, else the server goes on answering for
        LOSS_NOTICE_S and raises SupplyGone."""
        next_try = 0.0
        while not stop():
            if self.supply.gone.is_set():
                if not self.reconnect:
                    self._end_after_the_loss(stop)
                    return
                if next_try == 0.0:
                    log.info("trying to open %s again every %g s", self.supply.port, RECONNECT_EVERY_S)
                if time.monotonic() >= next_try:
                    next_try = 0.0 if self.supply.reopen() else time.monotonic() + RECONNECT_EVERY_S
            time.sleep(WATCH_EVERY_S)

    def close(self) -> None:
        """Stop listening and let every client go, the endpoints in the
        reverse of their order, then stop the guard (a ramp stops where it
        stands); the supply stays open. An endpoint that fails to close is
        logged, and the rest are closed all the same: the guard above all."""
        try:
            while self._listening:
                endpoint = self._listening.pop()
                try:
                    endpoint.close()
                except Exception:
                    log.exception("%s did not close cleanly", endpoint.name)
            if self.autosave is not None:
                self.autosave.close()
        finally:
            self.guard.close()

    def __enter__(self) -> Self:
        self.start()
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        self.close()

    def _read_the_bounds(self) -> None:
        """Read the supply's status once before any client is served, so that
        its maximum voltage bounds the voltage from the first request on.
        Unanswered, the bound is the guard's limit or what the supply can be
        sent until a reading brings it (see Guard.bound)."""
        try:
            self.guard.status()
        except SupplyError as failure:
            log.warning("the supply's maximum voltage is not known yet: %s", failure)

    def _end_after_the_loss(self, stop: Callable[[], bool]) -> None:
        deadline = time.monotonic() + LOSS_NOTICE_S
        while not stop() and time.monotonic() < deadline:
            time.sleep(WATCH_EVERY_S)
        if not stop():
            raise SupplyGone(self.supply.reason)
