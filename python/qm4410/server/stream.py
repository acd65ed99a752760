"""A client's bytes, read as a protocol with framing of its own asks for
them (HiSLIP's messages, ONC RPC's records): exact counts, or a long
payload a piece at a time, in bounded memory."""

from collections.abc import Iterator

from .listener import Client

PIECE = 4096


class Gone(Exception):
    """The client left, or was hung up on."""


class Stream:
    """It keeps at most one receive of the connection besides what the
    caller asked for at once."""

    def __init__(self, client: Client) -> None:
        self._client = client
        self._buffer = bytearray()

    def exactly(self, count: int) -> bytes:
        """The next `count` bytes (the caller bounds `count`)."""
        while len(self._buffer) < count:
            self._fill()
        taken = bytes(self._buffer[:count])
        del self._buffer[:count]
        return taken

    def pieces(self, length: int) -> Iterator[bytes]:
        """The next `length` bytes, in pieces of at most PIECE, each read as
        the caller takes it: a payload of any length is never held whole."""
        left = length
        while left > 0:
            if not self._buffer:
                self._fill()
            piece = bytes(self._buffer[: min(left, PIECE)])
            del self._buffer[: len(piece)]
            left -= len(piece)
            yield piece

    def skip(self, length: int) -> None:
        for _ in self.pieces(length):
            pass

    def _fill(self) -> None:
        data = self._client.receive()
        if not data:
            raise Gone
        self._buffer += data
