"""SCPI over a raw TCP socket, as LXI instruments serve it: lines ending in
a newline in, a line per response out."""

from ..endpoints import Context, TcpEndpoint
from ..held_supply import Asker
from ..listener import Client
from .reporting import Conditions
from .session import Session

# The longest line taken. A longer one is refused whole, as it comes, in
# memory of this size: the connection stays usable from its newline on.
MAX_LINE = 4096


class Lines:
    """A client's bytes cut at newlines. A line longer than MAX_LINE is
    not kept: None stands for it once its newline has come."""

    def __init__(self) -> None:
        self._partial = b""
        self._overrun = False

    def feed(self, data: bytes) -> list[bytes | None]:
        *complete, rest = data.split(b"\n")
        lines: list[bytes | None] = []
        for piece in complete:
            line = None if self._overrun else self._partial + piece
            lines.append(line if line is not None and len(line) <= MAX_LINE else None)
            self._partial, self._overrun = b"", False
        if not self._overrun:
            self._partial += rest
            if len(self._partial) > MAX_LINE:
                self._partial, self._overrun = b"", True
        return lines

    def end(self) -> list[bytes | None]:
        """The message ends (a door's END, as HiSLIP's DataEnd and VXI-11's
        END flag tell it): the line left unfinished, if any, is complete."""
        return self.feed(b"\n") if self._partial or self._overrun else []


class Scpi(TcpEndpoint):
    """SCPI over a raw socket, on port 5025 by default (the LXI convention)."""

    name = "scpi"
    default_port = 5025
    resource_form = "TCPIP::{host}::{port}::SOCKET"

    def __init__(self, port: int | None = None, host: str | None = None) -> None:
        super().__init__(port, host)
        self._conditions: Conditions | None = None

    def listen(self, context: Context) -> None:
        super().listen(context)
        self._conditions = Conditions(context.guard)

    def close(self) -> None:
        super().close()
        conditions, self._conditions = self._conditions, None
        if conditions is not None:
            conditions.close()

    def serve_client(self, client: Client, context: Context) -> None:
        conditions = self._conditions
        if conditions is None:
            return  # closed meanwhile
        session = Session(context.supply, context.guard, Asker(client.endpoint, client.name), conditions)
        lines = Lines()
        try:
            with context.supply.watching(session.tell_lost):
                while data := client.receive():
                    for line in lines.feed(data):
                        if line is None:
                            session.refuse_overrun(MAX_LINE)
                            continue
                        response = session.execute(line.decode("latin-1").rstrip("\r"))
                        if response is not None:
                            client.write(response.encode("ascii", "backslashreplace") + b"\n")
        finally:
            session.close()
