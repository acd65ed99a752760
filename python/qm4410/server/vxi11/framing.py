"""ONC RPC version 2 (RFC 5531) as VXI-11 and the portmapper use it: XDR's
packing (RFC 4506), calls and their replies, and TCP's record marking,
read in bounded memory."""

import enum
import struct
from collections.abc import Callable
from typing import NamedTuple

from ..listener import Client
from ..stream import Gone, Stream

RPC_VERSION = 2
CALL, REPLY = 0, 1
MOST_AUTH = 400  # bytes of a credential or verifier, as RFC 5531 bounds them
LAST_FRAGMENT = 0x8000_0000
_WORD = struct.Struct("!I")
_SIGNED = struct.Struct("!i")


class Accept(enum.IntEnum):
    SUCCESS = 0
    PROG_UNAVAIL = 1
    PROG_MISMATCH = 2
    PROC_UNAVAIL = 3
    GARBAGE_ARGS = 4
    SYSTEM_ERR = 5


class Garbage(Exception):
    """Arguments that cannot be decoded (too short, or a length beyond its bound)."""


class Packer:
    def __init__(self) -> None:
        self._parts: list[bytes] = []

    def uint(self, value: int) -> "Packer":
        self._parts.append(_WORD.pack(value & 0xFFFF_FFFF))
        return self

    def signed(self, value: int) -> "Packer":
        self._parts.append(_SIGNED.pack(value))
        return self

    def opaque(self, data: bytes) -> "Packer":
        self.uint(len(data))
        self._parts.append(data + b"\0" * (-len(data) % 4))
        return self

    def bytes(self) -> bytes:
        return b"".join(self._parts)


class Unpacker:
    def __init__(self, data: bytes, at: int = 0) -> None:
        self._data = data
        self._at = at

    def uint(self) -> int:
        return int(_WORD.unpack(self._take(4))[0])

    def signed(self) -> int:
        return int(_SIGNED.unpack(self._take(4))[0])

    def bool(self) -> bool:
        return self.uint() != 0

    def opaque(self, most: int) -> bytes:
        length = self.uint()
        if length > most:
            raise Garbage(f"{length} bytes where {most} at most are taken")
        data = self._take(length)
        self._take(-length % 4)
        return data

    def _take(self, count: int) -> bytes:
        if self._at + count > len(self._data):
            raise Garbage("the arguments end too soon")
        taken = self._data[self._at : self._at + count]
        self._at += count
        return taken


class Call(NamedTuple):
    xid: int
    program: int
    version: int
    procedure: int
    arguments: Unpacker


class NotACall(Exception):
    """A record that is no call (a reply, or an RPC version other than 2:
    `reply` is what to answer, if anything)."""

    def __init__(self, reply: bytes | None) -> None:
        super().__init__()
        self.reply = reply


def call_of(record: bytes) -> Call:
    """The call `record` holds; Garbage when even its header cannot be
    read, NotACall when it is none this server answers."""
    unpacker = Unpacker(record)
    xid, kind = unpacker.uint(), unpacker.uint()
    if kind != CALL:
        raise NotACall(None)
    if unpacker.uint() != RPC_VERSION:
        # MSG_DENIED, RPC_MISMATCH, the versions taken.
        raise NotACall(Packer().uint(xid).uint(REPLY).uint(1).uint(0).uint(RPC_VERSION).uint(RPC_VERSION).bytes())
    program, version, procedure = unpacker.uint(), unpacker.uint(), unpacker.uint()
    for _ in ("credential", "verifier"):  # any flavour is taken, and none is checked
        unpacker.uint()
        unpacker.opaque(MOST_AUTH)
    return Call(xid, program, version, procedure, unpacker)


def reply(xid: int, status: Accept = Accept.SUCCESS, results: bytes = b"") -> bytes:
    """MSG_ACCEPTED, with a null verifier, `status` and what follows it."""
    return Packer().uint(xid).uint(REPLY).uint(0).uint(0).uint(0).uint(status).bytes() + results


def xid_of(record: bytes) -> int | None:
    return int(_WORD.unpack(record[:4])[0]) if len(record) >= 4 else None


def record(data: bytes) -> bytes:
    """`data` as one record of one fragment."""
    return _WORD.pack(LAST_FRAGMENT | len(data)) + data


class Oversized(NamedTuple):
    """A record longer than taken: its beginning (enough for its call's
    header), the rest read away."""

    head: bytes


class Records(Stream):
    """A client's records, each of at most `most` bytes kept."""

    def __init__(self, client: Client, most: int) -> None:
        super().__init__(client)
        self._most = most

    def next(self) -> bytes | Oversized:
        parts: list[bytes] = []
        kept = 0
        oversized = False
        while True:
            (marker,) = _WORD.unpack(self.exactly(4))
            length = marker & ~LAST_FRAGMENT
            if oversized or kept + length > self._most:
                if not oversized:
                    keep = max(0, min(length, self._most - kept))
                    parts.append(self.exactly(keep))
                    kept += keep
                    length -= keep
                    oversized = True
                self.skip(length)
            else:
                parts.append(self.exactly(length))
                kept += length
            if marker & LAST_FRAGMENT:
                data = b"".join(parts)
                return Oversized(data) if oversized else data


Procedure = Callable[[Unpacker], bytes]


def answer(call: Call, program: int, version: int, procedures: dict[int, Procedure]) -> bytes:
    """The reply to `call` from a server of `program` at `version` with
    `procedures` (each turns its arguments into its results)."""
    if call.program != program:
        return reply(call.xid, Accept.PROG_UNAVAIL)
    if call.version != version:
        return reply(call.xid, Accept.PROG_MISMATCH, Packer().uint(version).uint(version).bytes())
    procedure = procedures.get(call.procedure)
    if procedure is None:
        return reply(call.xid, Accept.PROC_UNAVAIL)
    try:
        return reply(call.xid, Accept.SUCCESS, procedure(call.arguments))
    except Garbage:
        return reply(call.xid, Accept.GARBAGE_ARGS)


def reply_to(data: bytes, respond: Callable[[Call], bytes]) -> bytes | None:
    """What answers the record (or datagram) `data`: `respond`'s reply to
    its call, an RPC refusal, or nothing (no call at all)."""
    try:
        return respond(call_of(data))
    except NotACall as refusal:
        return refusal.reply
    except Garbage:
        xid = xid_of(data)
        return None if xid is None else reply(xid, Accept.GARBAGE_ARGS)


def serve_calls(client: Client, most: int, respond: Callable[[Call], bytes]) -> None:
    """Answer the calls of one TCP client until it goes: each record of at
    most `most` bytes, a longer one answered GARBAGE_ARGS (read away, never
    kept)."""
    records = Records(client, most)
    while True:
        try:
            data = records.next()
        except Gone:
            return
        if isinstance(data, Oversized):
            xid = xid_of(data.head)
            answered = None if xid is None else reply(xid, Accept.GARBAGE_ARGS)
        else:
            answered = reply_to(data, respond)
        if answered is not None:
            client.write(record(answered))


def call(xid: int, program: int, version: int, procedure: int, arguments: bytes = b"") -> bytes:
    """A call with null credentials, as a client sends it."""
    header = Packer().uint(xid).uint(CALL).uint(RPC_VERSION).uint(program).uint(version).uint(procedure)
    return header.uint(0).uint(0).uint(0).uint(0).bytes() + arguments


def results_of(data: bytes, xid: int) -> Unpacker:
    """The results in the reply `data` to call `xid`; Garbage when it is no
    accepted, successful reply to it."""
    unpacker = Unpacker(data)
    if unpacker.uint() != xid or unpacker.uint() != REPLY or unpacker.uint() != 0:
        raise Garbage("no accepted reply to the call")
    unpacker.uint()
    unpacker.opaque(MOST_AUTH)
    status = unpacker.uint()
    if status != Accept.SUCCESS:
        raise Garbage(f"the call was answered with accept status {status}")
    return unpacker
