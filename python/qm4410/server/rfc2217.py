"""The supply's own protocol over RFC 2217: every client works as if it had
the port to itself. Telnet and RFC 2217 are pyserial's own server half
(serial.rfc2217.PortManager); what it leaves over is the client's data,
from which whole request frames go to the supply, one transaction each, and
each reply goes back to the client that asked. The supply's address and
identity are the server's: a client's frame that would change the address,
or whose word is none of the supply's requests, is not sent.

The server's guard holds for these clients as for any: a frame it refuses
(above a limit, switching the output on while tripped) is not sent and gets
no reply, as from a supply that does not take it; a set-point that a slew
rate moves is handed to the guard as a ramp, and answered once the ramp is
under way, as the supply answers a setting (see _by_the_guard)."""

import logging
import struct
import time
from collections.abc import Callable

import serial.rfc2217

from qm4410 import _line

from ..supply import wire
from ..supply.errors import NoReply, PortGone
from ..supply.guard import Tripped
from .endpoints import Context, TcpEndpoint
from .errors import SupplyGone
from .guarding import SLEWED, frame_refusal
from .held_supply import Asker, HeldSupply
from .listener import Client

log = logging.getLogger("qm4410.serve")

# A client's driver gives up on a reply GIVES_UP_S after its request; one
# that comes later would be taken for the answer to its next request, so it
# is not passed on, and a frame whose reply the line's plan says would come
# later is not sent. Measured from the frame's arrival here, less one of the
# client's polls for the trip back.
REPLY_WINDOW_S = _line.GIVES_UP_S - _line.POLL_S
# The longest Telnet subnegotiation a client may send: RFC 2217's longest
# (a baud rate) is 6 bytes. A client that goes on past this without ending
# one is hung up on, rather than have the server keep what it sends.
MOST_SUBNEGOTIATION = 256


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


class Negotiation(serial.rfc2217.PortManager):
    """pyserial's server half for one client, which refuses a malformed
    subnegotiation (cut short, or with a value no setting has) rather than
    fail on it, and says so in the log with the client's name: a client's
    line settings change nothing here anyway, and the connection goes on."""

    def __init__(self, line: ClientLine, client: Client) -> None:
        self._name = client.name
        # It takes any object with a port's attributes, and any connection
        # with a write(); its constructor starts the Telnet negotiation.
        super().__init__(line, client)  # type: ignore[arg-type]

    def _telnet_process_subnegotiation(self, suboption: bytes) -> None:
        try:
            super()._telnet_process_subnegotiation(suboption)  # type: ignore[misc]
        except (struct.error, LookupError, TypeError, ValueError) as error:
            log.info("%s: a malformed subnegotiation (%s) refused: %s", self._name, suboption.hex(" "), error)

    @property
    def negotiating(self) -> int:
        """How many bytes of an unfinished subnegotiation it holds."""
        return 0 if self.suboption is None else len(self.suboption)


class Rfc2217(TcpEndpoint):
    """The supply's own protocol over RFC 2217, on port 4410 by default."""

    name = "rfc2217"
    default_port = 4410
    resource_form = "rfc2217://{host}:{port}"

    def serve_client(self, client: Client, context: Context) -> None:
        line = ClientLine()
        manager = Negotiation(line, client)
        asker = Asker(client.endpoint, client.name)
        # A port that has gone ends the connection, as ser2net's does: the
        # client's next use of it fails and says so.
        with context.supply.watching(client.hang_up):
            while data := client.receive():
                arrived = time.monotonic()
                requests = line.requests.feed(b"".join(manager.filter(data)))
                if manager.negotiating > MOST_SUBNEGOTIATION:
                    client.hang_up(
                        f"it sent {manager.negotiating} bytes of a subnegotiation without ending it, more than "
                        f"the {MOST_SUBNEGOTIATION} any takes"
                    )
                    break
                for request in requests:
                    context.guard.touch()  # a client is there: the watchdog starts again
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
    guard = context.guard
    try:
        refusal = _kept_from_the_supply(request, context.supply) or frame_refusal(request, guard)
    except SupplyGone:
        return None
    if refusal is not None:
        log.info("%s: %s refused: %s", client.name, what, refusal)
        return None
    word = wire.word_of(request)
    by = arrived + REPLY_WINDOW_S
    units = wire.setpoint_of(request)
    try:
        if word in SLEWED:
            quantity = SLEWED[word]
            if guard.slew_rate(quantity) is not None:
                return _by_the_guard(request, lambda: guard.send_units(quantity, units, wait=False), by, client)
            guard.halt(quantity, wait=True)  # a set-point sent at once replaces a ramp in progress
        elif word == wire.SET_MAX_VOLTAGE and guard.slew_rate("voltage") is not None:
            return _by_the_guard(request, lambda: guard.send_max_voltage(units), by, client)
        elif word == wire.RESTORE_FACTORY:
            for quantity in SLEWED.values():
                guard.halt(quantity, wait=True)
        if wire.switches_on(request) and guard.rules.soft_start:
            # Three exchanges (a status read, the set-point of 0, the
            # switch-on), more than a reply window at a slow line's pace:
            # carried out by the guard whatever the window, as a slewed
            # set-point is, rather than begun and then refused as late.
            return _by_the_guard(request, lambda: guard.send_output(True), by, client)
        if wire.switches_on(request):
            with guard.switching_on():
                reply, outcome = context.supply.exchange(request, client, by)
        else:
            reply, outcome = context.supply.exchange(request, client, by)
    except Tripped as refused:
        log.info("%s: %s refused: %s", client.name, what, refused)
        return None
    except (NoReply, PortGone) as failure:  # a soft start's status read or set-point of 0: nothing switched on
        log.debug("%s: %s not carried out: %s", client.name, what, failure)
        return None
    except SupplyGone:
        return None
    log.debug("%s: %s %s", client.name, what, outcome)
    if reply is not None and word == wire.SET_MAX_VOLTAGE:
        guard.note_max_voltage(wire.setpoint_of(request))  # the voltage's bound from now on
    return reply


def _by_the_guard(request: bytes, send: Callable[[], object], by: float, client: Asker) -> bytes | None:
    """A set-point that a slew rate moves, handed to the guard by `send`:
    as a ramp from where the set-point stands (which takes the supply's
    answer to a status read, unless a ramp is in progress), a raise of
    the maximum voltage carried out within the rate, or a soft start's
    switch-on. Once it is under way
    the client gets the reply a supply gives a setting (a ramp's first step
    comes one step's time later, beyond the client's reply window); none
    when the supply did not answer, and none, though the ramp goes on, once
    it could no longer reach the client in time. Either way a status read
    shows where the set-point stands."""
    what = wire.described(request)
    try:
        send()
    except (NoReply, PortGone) as failure:
        log.debug("%s: %s not carried out: %s", client.name, what, failure)
        return None
    late = time.monotonic() - by
    if late > 0:
        log.info(
            "%s: %s carried out within the slew rate, but its reply would come %.0f ms too late to pass on",
            client.name,
            what,
            late * 1e3,
        )
        return None
    log.debug("%s: %s carried out within the slew rate", client.name, what)
    return wire.setting_reply(request)


def _kept_from_the_supply(request: bytes, supply: HeldSupply) -> str | None:
    """Why `request` is none of a client's business: the server owns the
    supply's address, which its own driver and every other client rely on,
    passes on only the supply's requests, and only those to the supply it
    holds (which may answer any address, and a client would then wait in
    vain for a reply from the address it asked)."""
    word = wire.word_of(request)
    address = request[wire.ADDRESS_INDEX]
    if address not in (supply.address(), wire.BROADCAST_ADDRESS):
        return f"it is addressed to {address}, and the supply here is at {supply.address()}"
    if word == wire.SET_ADDRESS:
        return "the server keeps the supply's bus address, which its other clients rely on"
    if word not in wire.REQUESTS:
        return "the word is none of the supply's requests"
    return None
