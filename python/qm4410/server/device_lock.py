"""The lock of the instrument that the VISA doors (HiSLIP and VXI-11) serve,
one per server, as VISA's viLock and viUnlock take and give it back.

A client holds it exclusive, or shared under a key that every client
sharing it gives. While someone holds it, only its holders' commands are
carried out at these doors: the others' wait. It is a rule between the
clients of these doors alone: the guard's own exchanges, and the clients
of doors that have no word for a lock (the raw SCPI socket, RFC 2217,
EPICS), never wait on it. No thread holds anything while a client holds
the lock, so no exchange with the supply ever waits on it either."""

import enum
import threading
import time
from collections.abc import Callable, Hashable


class Granted(enum.Enum):
    """What came of a request for the lock."""

    YES = "granted"
    TIMED_OUT = "not granted in time"
    INVALID = "invalid"  # a shared lock asked for under another key than the one this holder has


def _never() -> bool:
    return False


class DeviceLock:
    """Held exclusive by one holder, or shared by any number under one key;
    a holder of the shared lock may take the exclusive lock as well (VISA's
    nesting), once no one else holds that. A holder is any hashable object
    that stands for one client (a HiSLIP session, a VXI-11 link)."""

    def __init__(self) -> None:
        self._changed = threading.Condition()
        self._exclusive: Hashable | None = None
        self._sharing: set[Hashable] = set()
        self._key: str | None = None

    def acquire(
        self, holder: Hashable, key: str | None, timeout: float, abandoned: Callable[[], bool] = _never
    ) -> Granted:
        """The exclusive lock (`key` None or empty) or the shared one under
        `key`, waiting up to `timeout` seconds, or until `abandoned()` is
        true when woken (see wake). A holder that asks again for what it
        holds has it."""
        key = key or None
        deadline = time.monotonic() + timeout
        with self._changed:
            if key is not None and holder in self._sharing and key != self._key:
                return Granted.INVALID
            while not self._grantable(holder, key):
                left = deadline - time.monotonic()
                if left <= 0 or abandoned():
                    return Granted.TIMED_OUT
                self._changed.wait(left)
            if key is None:
                self._exclusive = holder
            else:
                self._sharing.add(holder)
                self._key = key
            return Granted.YES

    def release(self, holder: Hashable) -> str | None:
        """Give back `holder`'s exclusive lock, else its shared one: which it
        was ("exclusive", "shared"), None when it held neither."""
        with self._changed:
            if self._exclusive == holder:
                self._exclusive = None
                released = "exclusive"
            elif holder in self._sharing:
                self._sharing.discard(holder)
                if not self._sharing:
                    self._key = None
                released = "shared"
            else:
                return None
            self._changed.notify_all()
        return released

    def release_all(self, holder: Hashable) -> None:
        """A client that goes gives back everything it held."""
        while self.release(holder) is not None:
            pass

    def allows(self, holder: Hashable) -> bool:
        """Whether `holder`'s commands may be carried out now."""
        with self._changed:
            return self._allows(holder)

    def wait_for_access(self, holder: Hashable, timeout: float | None, abandoned: Callable[[], bool] = _never) -> bool:
        """Whether `holder` may go on, once it may (within `timeout` seconds;
        None: for as long as it takes), or False once the time is up or
        `abandoned()` is true when woken."""
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._changed:
            while not self._allows(holder):
                left = None if deadline is None else deadline - time.monotonic()
                if (left is not None and left <= 0) or abandoned():
                    return False
                self._changed.wait(left)
            return True

    def wake(self) -> None:
        """Wake every waiter to look at its `abandoned` again (a device clear,
        an abort, a client gone, the server stopping)."""
        with self._changed:
            self._changed.notify_all()

    def state(self) -> tuple[bool, int]:
        """Whether the exclusive lock is held, and by how many clients any lock is."""
        with self._changed:
            holders = set(self._sharing)
            if self._exclusive is not None:
                holders.add(self._exclusive)
            return self._exclusive is not None, len(holders)

    def _allows(self, holder: Hashable) -> bool:
        if self._exclusive is not None:
            return self._exclusive == holder
        return not self._sharing or holder in self._sharing

    def _grantable(self, holder: Hashable, key: str | None) -> bool:
        if self._exclusive is not None and self._exclusive != holder:
            return False
        if key is None:
            # Others may share it only with this holder, which then shuts them out.
            return not (self._sharing - {holder}) or holder in self._sharing
        return self._key in (None, key)
