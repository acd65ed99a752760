"""A HiSLIP session: a client's synchronous channel (its messages to the
instrument and the responses) and its asynchronous channel (locks, device
clear, the status byte, remote and local control, service requests), each a
connection of its own served by a thread of its own, over one session of
the SCPI engine.

Only the synchronized mode is offered: the server says so in
InitializeResponse, prefers it at AsyncDeviceClear and grants it at
DeviceClearComplete whatever the client asks. Each message is carried out
before the next is read, and each response goes back at once, so no
response is ever left waiting when another message comes (HiSLIP's
Interrupted never arises)."""

import logging
import struct
import threading
import time

from ..device_lock import Granted
from ..instrument import InstrumentSession
from ..listener import Client
from ..scpi.errors import EXECUTION_ERROR, ScpiError
from ..scpi.reporting import MASTER_SUMMARY
from ..stream import Gone
from .framing import (
    FIRST_MESSAGE_ID,
    FIRST_VENDOR_KIND,
    HEADER,
    MOST_CONTROL_PAYLOAD,
    Fatal,
    Header,
    Kind,
    LockAnswer,
    Reader,
    Refusal,
    message,
)

log = logging.getLogger("qm4410.serve")

# The largest message the server takes (header and payload): a payload
# goes to the engine a piece at a time, so this bounds no memory of its
# own; the engine's line length does (a longer line is refused, -363).
MAX_MESSAGE_SIZE = 1 << 20
SYNCHRONIZED = 0  # the control code of a mode granted or preferred: not overlapped
RMT_DELIVERED = 1  # a client's control code bit: it has read a whole response
# How long AsyncStatusQuery and a lock's release wait for the synchronous
# channel to have carried out the message they name (see _caught_up).
CATCH_UP_S = 1.0
# What a client that names no size of its own is sent at most, per message.
UNBOUNDED = (1 << 64) - 1
SIZE = struct.Struct("!Q")
# AsyncRemoteLocalControl's requests (VISA's viGpibControlREN modes), by
# what they do to the supply's control; None: nothing it has.
REMOTE_LOCAL: dict[int, bool | None] = {
    0: False,  # disable remote: every device goes to local
    1: None,  # enable remote
    2: False,  # disable remote and go to local
    3: True,  # enable remote and go to remote
    4: True,  # enable remote and lock out local: the supply's remote control locks its panel
    5: True,  # go to remote and lock out local
    6: False,  # go to local
}


class Fault(Exception):
    """What ends a channel with a FatalError: its code and words."""

    def __init__(self, code: Fatal, text: str) -> None:
        super().__init__(text)
        self.code = code


class HislipSession:
    """A client's session, from its Initialize on; its asynchronous channel
    joins it at AsyncInitialize. `end()` once either channel goes."""

    def __init__(self, number: int, sync: Client, instrument: InstrumentSession, version: int) -> None:
        self.number = number
        self.sync = sync
        self.asynchronous: Client | None = None
        self.instrument = instrument
        self.version = version
        self.last_heard = time.monotonic()
        self.ended = threading.Event()
        self._joined = threading.Event()
        self._clearing = threading.Event()
        self._client_most = UNBOUNDED
        # A response went back whose delivery the client has not yet told
        # (the MAV bit); the master summary as last told in a service request.
        self._answer_pending = False
        self._requesting = False
        self._service_lock = threading.Lock()
        self._end_lock = threading.Lock()
        # The MessageID of the last message carried out on the synchronous
        # channel (None: none since Initialize or the last device clear).
        self._carried_out: int | None = None
        self._progress = threading.Condition()

    def join(self, asynchronous: Client) -> None:
        self.asynchronous = asynchronous
        self._joined.set()

    @property
    def joined(self) -> bool:
        return self._joined.is_set()

    def end(self) -> None:
        """Either channel went (or a fault ended it): the other is hung up,
        and what the client held of the lock is given back."""
        with self._end_lock:
            if self.ended.is_set():
                return
            self.ended.set()
        self.instrument.lock.wake()
        for client in (self.sync, self.asynchronous):
            if client is not None:
                client.hang_up()
        self.instrument.close()

    # The synchronous channel.

    def serve_sync(self, reader: Reader) -> None:
        while True:
            header = reader.header()
            self.last_heard = time.monotonic()
            if header.kind in (Kind.DATA, Kind.DATA_END, Kind.TRIGGER):
                self._carry_out(reader, header)
                with self._progress:
                    self._carried_out = header.parameter
                    self._progress.notify_all()
            elif header.kind == Kind.DEVICE_CLEAR_COMPLETE:
                reader.skip(header.length)
                self._complete_clear()
            elif not _heard_error(reader, header, self.sync):
                refuse(self.sync, reader, header)

    def _carry_out(self, reader: Reader, header: Header) -> None:
        if not self.joined:
            raise Fault(Fatal.NO_BOTH_CHANNELS, "a message came before the asynchronous channel was opened")
        if header.length > MAX_MESSAGE_SIZE:
            reader.skip(header.length)
            self.sync.write(_error(Refusal.MESSAGE_TOO_LARGE, f"the largest message taken is {MAX_MESSAGE_SIZE} bytes"))
            return
        # A new message: the response before it was read, or given up.
        self._answer_pending = False
        instrument = self.instrument
        if self._clearing.is_set() or not instrument.lock.wait_for_access(instrument, None, self._abandoned):
            reader.skip(header.length)  # given up by a device clear (or the client is gone)
            return
        responses: list[bytes] = []
        if header.kind == Kind.TRIGGER:
            reader.skip(header.length)
            instrument.trigger()
        else:
            for piece in reader.pieces(header.length):
                responses += instrument.take(piece, end=False)
            if header.kind == Kind.DATA_END:
                responses += instrument.take(b"", end=True)
        if self._clearing.is_set():
            return  # a device clear came meanwhile: its responses are not sent
        for response in responses:
            self.sync.write(self._response(response, header.parameter))
        self._answer_pending = bool(responses)
        self.request_service_if_due()

    def _response(self, response: bytes, message_id: int) -> bytes:
        """A response as Data messages ending with a DataEnd, none larger
        than the client takes."""
        most = max(1, min(self._client_most, MAX_MESSAGE_SIZE) - HEADER.size)
        pieces = [response[start : start + most] for start in range(0, len(response), most)]
        return b"".join(
            message(Kind.DATA if n < len(pieces) - 1 else Kind.DATA_END, 0, message_id, piece)
            for n, piece in enumerate(pieces)
        )

    def _complete_clear(self) -> None:
        """DeviceClearComplete: what was sent of a message and every response
        not yet read are forgotten; the mode granted is the synchronized one,
        whatever the client asked for."""
        self.instrument.clear()
        self._answer_pending = False
        with self._progress:
            self._carried_out = None
        self._clearing.clear()
        log.debug("%s: device clear", self.instrument.name)
        self.sync.write(message(Kind.DEVICE_CLEAR_ACKNOWLEDGE, SYNCHRONIZED))

    def _caught_up(self, message_id: int) -> None:
        """Wait (CATCH_UP_S at most) until the synchronous channel has carried
        out the message `message_id` names: the channels are connections of
        their own, so a status query may overtake the message sent just
        before it. Clients name the last message they sent, or the next
        one's ID (two more); the first ID names none."""
        named = {message_id, (message_id - 2) & 0xFFFF_FFFF}
        with self._progress:
            self._progress.wait_for(
                lambda: self._carried_out in named or (self._carried_out is None and message_id == FIRST_MESSAGE_ID),
                CATCH_UP_S,
            )

    def _abandoned(self) -> bool:
        return self._clearing.is_set() or self.ended.is_set()

    # The asynchronous channel.

    def serve_async(self, reader: Reader) -> None:
        assert self.asynchronous is not None
        channel = self.asynchronous
        while True:
            header = reader.header()
            self.last_heard = time.monotonic()
            kind = header.kind
            if kind == Kind.ASYNC_LOCK:
                self._lock(reader, header)
                continue
            if kind == Kind.ASYNC_MAXIMUM_MESSAGE_SIZE:
                self._maximum_message_size(reader, header)
                continue
            if _heard_error(reader, header, channel):
                continue
            if kind not in (
                Kind.ASYNC_LOCK_INFO,
                Kind.ASYNC_REMOTE_LOCAL_CONTROL,
                Kind.ASYNC_DEVICE_CLEAR,
                Kind.ASYNC_STATUS_QUERY,
            ):
                refuse(channel, reader, header)
                continue
            reader.skip(header.length)
            if kind == Kind.ASYNC_LOCK_INFO:
                exclusive, holders = self.instrument.lock.state()
                channel.write(message(Kind.ASYNC_LOCK_INFO_RESPONSE, int(exclusive), holders))
            elif kind == Kind.ASYNC_REMOTE_LOCAL_CONTROL:
                self._remote_local(header.control)
            elif kind == Kind.ASYNC_DEVICE_CLEAR:
                # Messages in flight from here to DeviceClearComplete are dropped.
                self._clearing.set()
                self.instrument.lock.wake()
                channel.write(message(Kind.ASYNC_DEVICE_CLEAR_ACKNOWLEDGE, SYNCHRONIZED))
            else:
                self._caught_up(header.parameter)
                if header.control & RMT_DELIVERED:
                    self._answer_pending = False
                status = self.instrument.status_byte(self._answer_pending)
                channel.write(message(Kind.ASYNC_STATUS_RESPONSE, status))

    def _lock(self, reader: Reader, header: Header) -> None:
        """AsyncLock: control code 1 asks for the lock (exclusive with an
        empty lock string, else shared under it), waiting up to the
        parameter's milliseconds; 0 gives it back."""
        assert self.asynchronous is not None
        if header.length > MOST_CONTROL_PAYLOAD:
            reader.skip(header.length)
            self.asynchronous.write(
                _error(Refusal.MESSAGE_TOO_LARGE, f"a lock string is {MOST_CONTROL_PAYLOAD} bytes at most")
            )
            return
        key = reader.exactly(header.length).decode("latin-1")
        instrument, lock = self.instrument, self.instrument.lock
        if header.control == 1:
            granted = lock.acquire(instrument, key, header.parameter / 1000, self.ended.is_set)
            answer = {Granted.YES: LockAnswer.SUCCESS, Granted.TIMED_OUT: LockAnswer.FAILURE}.get(
                granted, LockAnswer.ERROR
            )
            what = f"the lock shared as {key!r}" if key else "the exclusive lock"
            log.info("%s asks for %s: %s", instrument.name, what, granted.value)
        elif header.control == 0:
            self._caught_up(header.parameter)  # the messages sent under the lock first
            released = lock.release(instrument)
            answer = {"exclusive": LockAnswer.SUCCESS, "shared": LockAnswer.SUCCESS_SHARED}.get(
                released or "", LockAnswer.ERROR
            )
            if released:
                log.info("%s gives back the %s lock", instrument.name, released)
        else:
            self.asynchronous.write(
                _error(Refusal.UNRECOGNIZED_CONTROL_CODE, f"AsyncLock takes 0 or 1, not {header.control}")
            )
            return
        self.asynchronous.write(message(Kind.ASYNC_LOCK_RESPONSE, answer))

    def _maximum_message_size(self, reader: Reader, header: Header) -> None:
        assert self.asynchronous is not None
        if header.length != SIZE.size:
            reader.skip(header.length)
            self.asynchronous.write(_error(Refusal.UNIDENTIFIED, "AsyncMaximumMessageSize carries 8 bytes"))
            return
        (size,) = SIZE.unpack(reader.exactly(SIZE.size))
        self._client_most = max(size, HEADER.size + 1)
        self.asynchronous.write(message(Kind.ASYNC_MAXIMUM_MESSAGE_SIZE_RESPONSE, payload=SIZE.pack(MAX_MESSAGE_SIZE)))

    def _remote_local(self, request: int) -> None:
        assert self.asynchronous is not None
        if request not in REMOTE_LOCAL:
            self.asynchronous.write(
                _error(Refusal.UNRECOGNIZED_CONTROL_CODE, f"AsyncRemoteLocalControl takes 0 to 6, not {request}")
            )
            return
        remote = REMOTE_LOCAL[request]
        instrument = self.instrument
        if remote is not None:
            if instrument.lock.allows(instrument):
                instrument.control(remote)
            else:
                # The protocol has no refusal here: the client finds it in its queue.
                instrument.report(
                    ScpiError(EXECUTION_ERROR, "remote or local control refused: another client holds the lock")
                )
        self.asynchronous.write(message(Kind.ASYNC_REMOTE_LOCAL_RESPONSE))

    def request_service_if_due(self) -> None:
        """AsyncServiceRequest, with the status byte, when its master summary
        has risen since last told (an enabled event came, by *SRE). Only
        the registers are read: nothing is sent to the supply."""
        channel = self.asynchronous
        if channel is None or self.ended.is_set():
            return
        with self._service_lock:
            status = self.instrument.session.registers.status_byte(self._answer_pending)
            requesting = bool(status & MASTER_SUMMARY)
            rose = requesting and not self._requesting
            self._requesting = requesting
            if rose:
                channel.write(message(Kind.ASYNC_SERVICE_REQUEST, status))


def refuse(channel: Client, reader: Reader, header: Header) -> None:
    """A message this server does not take on this channel: Error, and it
    is dropped."""
    reader.skip(header.length)
    if header.kind >= FIRST_VENDOR_KIND:
        channel.write(_error(Refusal.UNRECOGNIZED_VENDOR_MESSAGE, f"no vendor-defined message {header.kind}"))
    else:
        channel.write(
            _error(Refusal.UNRECOGNIZED_MESSAGE_TYPE, f"{kind_name(header.kind)} is not taken on this channel")
        )


def _heard_error(reader: Reader, header: Header, channel: Client) -> bool:
    """Whether `header` is the client's Error or FatalError: logged, and a
    FatalError ends the session."""
    if header.kind not in (Kind.ERROR, Kind.FATAL_ERROR):
        return False
    text = reader.exactly(min(header.length, MOST_CONTROL_PAYLOAD)).decode("latin-1")
    reader.skip(max(0, header.length - MOST_CONTROL_PAYLOAD))
    log.info("%s sent %s %d: %s", channel.name, kind_name(header.kind), header.control, text)
    if header.kind == Kind.FATAL_ERROR:
        raise Gone  # the client ends the session
    return True


def kind_name(kind: int) -> str:
    try:
        return Kind(kind).name
    except ValueError:
        return f"message type {kind}"


def _error(code: Refusal, text: str) -> bytes:
    return message(Kind.ERROR, code, payload=text.encode())
