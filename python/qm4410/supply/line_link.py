"""A link whose commands take their turns on a Line (see line.py), at the
classes of one user of a supply: a script, or the guard that watches it."""

from typing import TypeVar

from qm4410 import _line

from . import wire
from .line import Line, Priority
from .link import Link
from .status import Status

OFF = b"\x00"
Result = TypeVar("Result")


class LineLink(Link):
    """The commands of `link`, each in its turn on `line`. A script's
    (`guard` false) are settings and readings of their ordinary classes; a
    guard's readings and switch-offs go before every other request. Either
    one's reading is taken after it asked (or is under way then): never one
    from before."""

    def __init__(self, line: Line, link: Link, *, guard: bool = False) -> None:
        self._attach(link.driver, link.port, link._exact)
        self.line = line
        self._guard = guard

    def read_status(self) -> Status | None:
        reading = self.line.status(0.0, Priority.SAFETY if self._guard else Priority.READING)
        return None if reading is None else reading.status

    def exchange(self, frame: bytes) -> _line.Exchange:
        return self.line.run(lambda link: self._kept(link, link.exchange(frame)), asker=self, word=wire.word_of(frame))

    def _setting(self, word: int, data: bytes, what: str) -> bool:
        switching_off = word == wire.SET_OUTPUT and data == OFF
        priority = Priority.SAFETY if self._guard and switching_off else Priority.SETPOINT
        return self.line.run(
            lambda link: self._kept(link, link._setting(word, data, what)), priority, asker=self, word=word
        )

    def _kept(self, link: Link, result: Result) -> Result:
        """`result`, with the exchange that gave it kept as this link's
        `last` (in the turn, before another user's exchange replaces it on
        the line's link). A status reading shared with other readers is
        none of its exchanges."""
        self.last, self.last_request = link.last, link.last_request
        return result
