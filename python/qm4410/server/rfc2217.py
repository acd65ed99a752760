"""The supply's own protocol over RFC 2217: every client works as if it had
the port to itself. Telnet and RFC 2217 are pyserial's own server half
(serial.rfc2217.PortManager); what it leaves over is the client's data,
from which whole request frames go to the supply, one transaction each, and
each reply goes back to the client that asked. The supply's address and
identity are the server's: a client's frame that would change the address,
or whose word is none of the supply's requests, is not sent."""

import logging
import time

import serial.rfc2217

from ..supply import wire
from .endpoints import Context, TcpEndpoint
from .errors import SupplyGone
from .held_supply import DRIVER_WINDOW_S, POLL_S, Asker
from .listener import Client

log = logging.getLogger("qm4410.serve")

# A client's driver waits DRIVER_WINDOW_S after its request for the reply;
# one that comes later would be taken for the answer to its next request, so
# it is not passed on, and a frame whose reply the supply's pace says would
# come later is not sent. Measured from the frame's arrival here, less one
# of the client's polls for the trip back.
REPLY_WINDOW_S = DRIVER_WINDOW_S - POLL_S


class ClientLine:
    """The serial port that PortManager sees for one client. The supply's
    line settings are fixed, so the settings a client asks for are taken and
    kept, and change nothing; the modem lines read as a supply that is
    there. Purging what the client sent forgets its unfinished frame; replies
    are sent as soon as they come, so there are none to purge."""

    cts = dsr = cd = True
    ri = False

    def __init__(self) -> None:
        self.baudrate = 4800
        self.bytesize = 8
        self.parity = "N"
        self.stopbits = 1
        self.xonxoff = self.rtscts = False
        self.dtr = self.rts = True
        self.break_condition = False
        self.requests = wire.FrameSplitter()

    def reset_input_buffer(self) -> None:
        pass

    def reset_output_buffer(self) -> None:
        self.requests.reset()


class Rfc2217(TcpEndpoint):
    """The supply's own protocol over RFC 2217, on port 4410 by default."""

    name = "rfc2217"
    default_port = 4410
    resource_form = "rfc2217://{host}:{port}"

    def serve_client(self, client: Client, context: Context) -> None:
        line = ClientLine()
        # Its constructor starts the Telnet negotiation. It takes any object
        # with a port's attributes, and any connection with a write().
        manager = serial.rfc2217.PortManager(line, client)  # type: ignore[arg-type]
        asker = Asker(client.endpoint, client.name)
        # A port that has gone ends the connection, as ser2net's does: the
        # client's next use of it fails and says so.
        with context.supply.watching(client.hang_up):
            while data := client.receive():
                arrived = time.monotonic()
                for request in line.requests.feed(b"".join(manager.filter(data))):
                    reply = _answer(request, arrived, asker, context)
                    if reply is not None:
                        client.write(b"".join(manager.escape(reply)))
        if line.requests.dropped:
            log.debug("%s: %d bytes formed no request frame", client.name, line.requests.dropped)


def _answer(request: bytes, arrived: float, client: Asker, context: Context) -> bytes | None:
    """The reply to send for `request`, or None: none came, it came too late,
    or the request was refused or held back and never sent (as a supply
    that does not answer, the client is told by silence)."""
    what = wire.described(request)
    refusal = _kept_from_the_supply(request) or context.limits.frame_refusal(request)
    if refusal is not None:
        log.info("%s: %s refused: %s", client.name, what, refusal)
        return None
    try:
        reply, outcome = context.supply.exchange(request, client, arrived + REPLY_WINDOW_S)
    except SupplyGone:
        return None
    log.debug("%s: %s %s", client.name, what, outcome)
    return reply


def _kept_from_the_supply(request: bytes) -> str | None:
    """Why `request` is none of a client's business: the server owns the
    supply's address, which its own driver and every other client rely on,
    and passes on only the supply's requests."""
    word = wire.word_of(request)
    if word == wire.SET_ADDRESS:
        return "the server keeps the supply's bus address, which its other clients rely on"
    if word not in wire.REQUESTS:
        return "the word is none of the supply's requests"
    return None
