"""The supply the server holds: one driver shared by every client's thread,
whose line takes their exchanges one at a time, in the order they asked;
and what becomes of them all when its port goes away."""

import contextlib
import logging
import threading
from collections.abc import Callable, Iterator
from typing import TypeVar

from qm4410 import QM4410

from ..supply.errors import PortGone, Refused
from ..supply.link import Link
from ..supply.opening import open_driver
from ..supply.status import Identity
from ..supply.switch_off import switch_off
from .errors import SupplyGone

log = logging.getLogger("qm4410.serve")

Result = TypeVar("Result")


class HeldSupply:
    """The supply on `port`, as the server holds it: opened by `open()`
    (Refused when it cannot be), its commands sent through `run()`, which
    raises SupplyGone once the port has gone. Then `gone` is set, `reason`
    says why, and each watcher has been told; `reopen()` tries to open it
    again."""

    def __init__(self, port: str) -> None:
        self.port = port
        self._lock = threading.Lock()
        self._driver: QM4410 | None = None
        self._link: Link | None = None
        self._watchers: set[Callable[[str], None]] = set()
        self.gone = threading.Event()
        self.reason = ""

    def open(self) -> None:
        """Open the supply on the port and read its identity; Refused, with
        its kind and what to do, when that fails."""
        driver = open_driver(self.port)
        with self._lock:
            self._driver, self._link = driver, Link(driver)
            self.gone.clear()

    def reopen(self) -> bool:
        """After the port went away: let go of what is left of it and try,
        once, to open the supply again."""
        self.close()
        try:
            self.open()
        except Refused as refusal:
            log.debug("the supply is not back yet: %s", refusal.text)
            return False
        log.info("the supply is back on %s", self.port)
        return True

    def close(self) -> None:
        with self._lock:
            driver, self._driver, self._link = self._driver, None, None
        if driver is not None:
            with contextlib.suppress(OSError):  # a port that has gone may fail to close
                driver.close()

    def identity(self) -> Identity:
        """The identity read when the supply was opened; no exchange."""
        return self.run(Link.identity)

    def exchange(self, frame: bytes) -> bytes | None:
        """One request frame of a client's, as one transaction: the valid
        reply, or None when none came."""
        return self.run(lambda link: link.exchange(frame))

    def run(self, action: Callable[[Link], Result]) -> Result:
        """`action` on the supply's link: what it returns, or SupplyGone
        when the port has gone (before or during it)."""
        with self._lock:
            link = None if self.gone.is_set() else self._link
        if link is None:
            raise SupplyGone(self.reason or f"the supply on {self.port} is not open")
        try:
            return action(link)
        except PortGone as error:
            self._lose(link, error)
            raise SupplyGone(self.reason) from None

    def switch_off(self) -> str | None:
        """The output switched off and confirmed: the state last read back,
        "off" once confirmed (see qm4410.supply.switch_off); SupplyGone when
        the port has gone."""
        return self.run(switch_off)

    @contextlib.contextmanager
    def watching(self, tell: Callable[[str], None]) -> Iterator[None]:
        """`tell(reason)` is called, from whichever thread finds out, if the
        port goes away meanwhile."""
        with self._lock:
            self._watchers.add(tell)
        try:
            yield
        finally:
            with self._lock:
                self._watchers.discard(tell)

    def _lose(self, link: Link, error: PortGone) -> None:
        with self._lock:
            # Only the first to find out tells, and only of the port still held.
            if link is not self._link or self.gone.is_set():
                return
            # The port's own words: the core's adds advice for a command's user.
            self.reason = f"the supply's port is gone: {error.__cause__ or error}"
            self.gone.set()
            watchers = list(self._watchers)
        log.warning("%s", self.reason)
        for tell in watchers:
            tell(self.reason)
