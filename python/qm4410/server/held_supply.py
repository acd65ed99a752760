"""The supply the server holds: one driver object shared by every client's
thread, whose line takes their exchanges one at a time, in the order they
asked; and what becomes of them all when its port goes away."""

import contextlib
import logging
import sys
import threading
from collections.abc import Callable, Iterator
from typing import Any

import serial

from qm4410 import QM4410

from ..cli import safety
from ..cli.exits import CommandError
from ..cli.session import connect


class SupplyGone(Exception):
    """The supply's port has gone; nothing was sent."""


class HeldSupply:
    def __init__(self, port: str, log: logging.Logger) -> None:
        self.port = port
        self._log = log
        self._lock = threading.Lock()
        self._driver: QM4410 | None = None
        self._closing = contextlib.ExitStack()
        self._watchers: set[Callable[[str], None]] = set()
        self.gone = threading.Event()
        self.reason = ""

    def open(self) -> None:
        """Open the supply on the port; CommandError with what to do when it
        cannot be."""
        closing = contextlib.ExitStack()
        driver = connect(self.port, closing)
        with self._lock:
            self._driver, self._closing = driver, closing
            self.gone.clear()

    def reopen(self) -> bool:
        """After the port went away: let go of what is left of it and try,
        once, to open the supply again."""
        self.close()
        try:
            self.open()
        except CommandError as refusal:
            self._log.debug("the supply is not back yet: %s", refusal.message)
            return False
        self._log.info("the supply is back on %s", self.port)
        return True

    def close(self) -> None:
        with self._lock:
            closing, self._closing, self._driver = self._closing, contextlib.ExitStack(), None
        with contextlib.suppress(serial.SerialException, OSError):  # a port that has gone may fail to close
            closing.close()

    def identity(self) -> dict:
        """The identity read when the supply was opened; no exchange."""
        return self._run(lambda driver: driver.show_device_version())

    def exchange(self, frame: bytes) -> bytes | None:
        """One request frame of a client's, as one transaction: the valid
        reply, or None when none came."""
        return self._run(lambda driver: driver._QM4410__write_and_read(list(frame)))

    def call(self, method: str, *args: object) -> Any:
        """The driver's `method`, with `args`."""
        return self._run(lambda driver: getattr(driver, method)(*args))

    def switch_off(self) -> str | None:
        """The output switched off and confirmed, as `--off-on-exit` asks:
        the state last read back (see safety.switch_off)."""
        with self._lock:
            driver = None if self.gone.is_set() else self._driver
        if driver is None:
            print(f"qm4410: warning: could not switch the output off: {self.reason}", file=sys.stderr)
            return None
        return safety.switch_off(driver)

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

    def _run(self, action: Callable[[QM4410], Any]) -> Any:
        with self._lock:
            driver = None if self.gone.is_set() else self._driver
        if driver is None:
            raise SupplyGone(self.reason)
        try:
            return action(driver)
        except (serial.SerialException, OSError) as error:
            self._lose(driver, error)
            raise SupplyGone(self.reason) from None

    def _lose(self, driver: QM4410, error: Exception) -> None:
        with self._lock:
            # Only the first to find out tells, and only of the port still held.
            if driver is not self._driver or self.gone.is_set():
                return
            self.reason = f"the supply's port is gone: {error}"
            self.gone.set()
            watchers = list(self._watchers)
        self._log.warning("%s", self.reason)
        for tell in watchers:
            tell(self.reason)
