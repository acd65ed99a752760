"""The line of progress of a long run: step k of n and the time left,
rewritten in place on a terminal, and nowhere else (a log file or a pipe
gets the rows alone)."""

import sys
from typing import TextIO

from qm4410.workflows import Progress

from . import render

# Carriage return, then erase to the end of the line.
ERASE = "\r\x1b[K"


class ProgressLine:
    def __init__(self, stream: TextIO | None = None) -> None:
        self._stream = stream if stream is not None else sys.stderr
        self._on = _is_terminal(self._stream)
        self._shown = False

    def show(self, progress: Progress) -> None:
        if not self._on:
            return
        text = f"step {progress.step} of {progress.steps}, {render.duration(progress.time_left_s)} left"
        self._stream.write(ERASE + text)
        self._stream.flush()
        self._shown = True

    def clear(self) -> None:
        """Take the line away, before another line is printed or at the end."""
        if self._shown:
            self._stream.write(ERASE)
            self._stream.flush()
            self._shown = False


def _is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):  # no isatty, or closed
        return False
