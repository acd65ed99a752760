"""The supply's port as the server's driver sees it: a whole frame that
cannot be the reply to the request written last (another request's word,
another bus address) never reaches the driver, whatever the driver's own
rule would take. The server's guarantee that a client gets only replies to
its own frames does not rest on the driver alone."""

import logging
import time
from typing import Any

from ..supply import wire

log = logging.getLogger("qm4410.serve")


class ReplySieve:
    """`port` (an open pyserial port) with the three operations the driver
    uses, `write`, `inWaiting` and `read`; everything else is the port's.
    What has come is taken from the port at each look and sifted: whole
    frames that do not answer the last request from the supply at
    `address` are dropped (and logged), and so are all of them when more
    than one that does is waiting; other bytes, partial frames included,
    are left for the driver as they came.

    It also tells the server what it needs between exchanges: when the last
    request was written (`written_at`), at which of the driver's polls
    since a reply to it was read and with which word (`reply_poll`,
    `reply_word`; None: none was), how many bytes the driver read before
    writing it (`read_before_request`: what it settled away), and
    `discard()` reads away whatever has come."""

    def __init__(self, port: Any, address: int) -> None:
        self._port = port
        self._address = address
        self._request = b""
        self._pending = bytearray()
        self._polls = 0
        self._read = 0
        self.read_before_request = 0
        self.written_at = 0.0
        self.reply_poll: int | None = None
        self.reply_word: int | None = None

    def write(self, data: bytes) -> Any:
        self._request = bytes(data)
        self._polls = 0
        self.read_before_request, self._read = self._read, 0
        self.written_at = time.monotonic()
        self.reply_poll = self.reply_word = None
        return self._port.write(data)

    def inWaiting(self) -> int:  # pyserial's older name, the one the driver calls
        self._polls += 1
        self._take_in()
        return len(self._pending)

    def read(self, size: int = 1) -> bytes:
        data = bytes(self._pending[:size])
        del self._pending[:size]
        self._read += len(data)
        if (
            len(data) == wire.FRAME_LENGTH
            and data[0] == wire.START_BYTE
            and wire.is_whole(data)
            and self._answers(data)
        ):
            self.reply_poll, self.reply_word = self._polls, wire.word_of(data)
        return data

    @property
    def request(self) -> bytes:
        """The request written last."""
        return self._request

    def discard(self) -> int:
        """Read away everything that has come; how many bytes that was."""
        self._take_in()
        count = len(self._pending)
        self._pending.clear()
        return count

    def __getattr__(self, name: str) -> Any:
        return getattr(self._port, name)

    def _answers(self, frame: bytes) -> bool:
        return len(self._request) < wire.FRAME_LENGTH or wire.answers(frame, self._request, self._address)

    def _take_in(self) -> None:
        waiting = self._port.in_waiting
        if waiting:
            self._pending += self._port.read(waiting)
            self._sift()

    def _sift(self) -> None:
        replies = []  # where the frames that may be the reply begin
        start = 0
        while 0 <= (found := self._pending.find(wire.START_BYTE, start)) <= len(self._pending) - wire.FRAME_LENGTH:
            frame = bytes(self._pending[found : found + wire.FRAME_LENGTH])
            if not wire.is_whole(frame):
                start = found + 1
            elif self._answers(frame):
                replies.append(found)
                start = found + wire.FRAME_LENGTH
            else:
                del self._pending[found : found + wire.FRAME_LENGTH]
                start = found
                log.info(
                    "a frame from address %d with the word 0x%02x is no reply of the supply's (address %d) to "
                    "%s: not passed on",
                    frame[wire.ADDRESS_INDEX],
                    wire.word_of(frame),
                    self._address,
                    wire.described(self._request),
                )
        # Two that may be the reply at once: one is a copy or a left-over,
        # and nothing tells which, so neither is.
        if len(replies) > 1:
            for found in reversed(replies):
                del self._pending[found : found + wire.FRAME_LENGTH]
            log.info(
                "%d frames came that may each be the reply to %s: none is passed on",
                len(replies),
                wire.described(self._request),
            )
