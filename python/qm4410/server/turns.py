"""Whose turn it is on the supply's line: the clients of every endpoint
share it, and none of them may keep another endpoint's clients waiting."""

import contextlib
import dataclasses
import itertools
import threading
from collections.abc import Iterator


@dataclasses.dataclass(eq=False)
class _Waiting:
    endpoint: str
    given: threading.Event = dataclasses.field(default_factory=threading.Event)


class Turns:
    """One holder at a time. When the line frees, of the endpoints whose
    clients are waiting the one served least recently goes next, and of its
    clients the one that asked first: two busy SCPI clients cannot keep an
    RFC 2217 client out for more than one exchange, and the clients of one
    endpoint are served in the order they asked. The turn is handed to the
    one whose it is, waking no other."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._waiting: list[_Waiting] = []  # in the order they asked
        self._held = False
        self._served: dict[str, int] = {}  # endpoint -> when it last had the line, in turns
        self._turns = itertools.count()

    @contextlib.contextmanager
    def turn(self, endpoint: str) -> Iterator[None]:
        """The line, held for the body, once it is `endpoint`'s turn."""
        waiting = _Waiting(endpoint)
        with self._lock:
            if self._held:
                self._waiting.append(waiting)
            else:
                self._take(waiting)
        try:
            waiting.given.wait()
        except BaseException:  # given up while waiting
            with self._lock:
                if waiting in self._waiting:
                    self._waiting.remove(waiting)
                    raise
            self._pass_on()
            raise
        try:
            yield
        finally:
            self._pass_on()

    def _take(self, waiting: _Waiting) -> None:
        self._held = True
        self._served[waiting.endpoint] = next(self._turns)
        waiting.given.set()

    def _pass_on(self) -> None:
        with self._lock:
            self._held = False
            if self._waiting:
                following = min(self._waiting, key=lambda waiting: self._served.get(waiting.endpoint, -1))
                self._waiting.remove(following)
                self._take(following)
