"""HiSLIP's wire format (IVI-6.1): every message is a 16-byte header, "HS",
its type, a control code, a 32-bit parameter and the length of the payload
that follows (64 bits, network order); and a reader that takes them from a
client's connection in bounded memory."""

import enum
import struct
from typing import NamedTuple

from ..stream import Stream

HEADER = struct.Struct("!2sBBIQ")
PROLOGUE = b"HS"
# The protocol version this server speaks, major and minor in a byte each.
VERSION = 0x0200
# The vendor ID a server gives in AsyncInitializeResponse: two letters.
VENDOR_ID = int.from_bytes(b"QM", "big")
# A client's first message ID, and its ID for none (the MessageID of data
# that answers no message in particular).
FIRST_MESSAGE_ID = 0xFFFF_FF00
NO_MESSAGE_ID = 0xFFFF_FFFF
# Lock strings, sub-addresses and the other payloads of control messages
# are short; a longer one is refused whole without being kept.
MOST_CONTROL_PAYLOAD = 256


class Kind(enum.IntEnum):
    INITIALIZE = 0
    INITIALIZE_RESPONSE = 1
    FATAL_ERROR = 2
    ERROR = 3
    ASYNC_LOCK = 4
    ASYNC_LOCK_RESPONSE = 5
    DATA = 6
    DATA_END = 7
    DEVICE_CLEAR_COMPLETE = 8
    DEVICE_CLEAR_ACKNOWLEDGE = 9
    ASYNC_REMOTE_LOCAL_CONTROL = 10
    ASYNC_REMOTE_LOCAL_RESPONSE = 11
    TRIGGER = 12
    INTERRUPTED = 13
    ASYNC_INTERRUPTED = 14
    ASYNC_MAXIMUM_MESSAGE_SIZE = 15
    ASYNC_MAXIMUM_MESSAGE_SIZE_RESPONSE = 16
    ASYNC_INITIALIZE = 17
    ASYNC_INITIALIZE_RESPONSE = 18
    ASYNC_DEVICE_CLEAR = 19
    ASYNC_SERVICE_REQUEST = 20
    ASYNC_STATUS_QUERY = 21
    ASYNC_STATUS_RESPONSE = 22
    ASYNC_DEVICE_CLEAR_ACKNOWLEDGE = 23
    ASYNC_LOCK_INFO = 24
    ASYNC_LOCK_INFO_RESPONSE = 25


# Types from here to 127 are HiSLIP's own (2.0's descriptors, TLS and
# authentication among them, none of which this server offers); from 128
# on, vendors'.
FIRST_VENDOR_KIND = 128


class Fatal(enum.IntEnum):
    """FatalError's codes: the connection ends after it."""

    UNIDENTIFIED = 0
    POORLY_FORMED_HEADER = 1
    NO_BOTH_CHANNELS = 2
    INVALID_INITIALIZATION = 3
    TOO_MANY_CLIENTS = 4


class Refusal(enum.IntEnum):
    """Error's codes: the message is dropped and the connection goes on."""

    UNIDENTIFIED = 0
    UNRECOGNIZED_MESSAGE_TYPE = 1
    UNRECOGNIZED_CONTROL_CODE = 2
    UNRECOGNIZED_VENDOR_MESSAGE = 3
    MESSAGE_TOO_LARGE = 4


class LockAnswer(enum.IntEnum):
    FAILURE = 0
    SUCCESS = 1  # to a release: of an exclusive lock
    SUCCESS_SHARED = 2  # to a release: of a shared lock
    ERROR = 3


class Header(NamedTuple):
    kind: int
    control: int
    parameter: int
    length: int


def message(kind: Kind, control: int = 0, parameter: int = 0, payload: bytes = b"") -> bytes:
    return HEADER.pack(PROLOGUE, kind, control, parameter, len(payload)) + payload


class Malformed(Exception):
    """Bytes that are no HiSLIP header: the stream cannot be followed."""


class Reader(Stream):
    """A client's HiSLIP messages, read as they come."""

    def header(self) -> Header:
        """The next header; Malformed when it does not begin with "HS"."""
        prologue, kind, control, parameter, length = HEADER.unpack(self.exactly(HEADER.size))
        if prologue != PROLOGUE:
            raise Malformed(f"a header began with {prologue!r}, not {PROLOGUE!r}")
        return Header(kind, control, parameter, length)
