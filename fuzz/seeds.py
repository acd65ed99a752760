"""Writes the fuzzer's starting corpus: real requests and replies, laid out as
fuzz_frames.cpp reads its input (separator byte, settings byte, the line).

    python3 fuzz/seeds.py DIR
"""

import struct
import sys
from pathlib import Path


def frame(address, word, data=b"", start=0xAA):
    body = (bytes([start, address, word]) + bytes(data)).ljust(25, b"\x00")
    return body + bytes([sum(body) & 0xFF])


def milli(value):
    return value.to_bytes(4, "little")


REQUESTS = [
    frame(1, 0x20, b"\x01"),
    frame(1, 0x20, b"\x00"),
    frame(1, 0x21, b"\x01"),
    frame(1, 0x21, b"\x00"),
    frame(1, 0x22, milli(12000)),
    frame(1, 0x23, milli(1222)),
    frame(1, 0x24, milli(888)),
    frame(1, 0x24, milli(70000)),
    frame(1, 0x25, b"\x06"),
    frame(1, 0x26),
    frame(0xFF, 0x31),
    frame(1, 0x32),
]
STATUS_REPLY = bytes.fromhex("AA 00 26 C8 00 DA 0C 00 00 B5 E8 03 88 13 00 00 E4 0C 00 00 00 00 00 00 00 A9")
IDENTITY_REPLY = frame(5, 0x31, b"4410\x00\x75\x01076787041")
DOUBLES = struct.pack("<9d", 1.001, 12.0, 4294967.295, 4294967.296, -0.0004, float("inf"), float("nan"), 0.888, 0.029)


def seeds():
    session = b"".join(REQUESTS)
    yield "session", b"\x00\x00" + session
    # The same session cut into reads at every 0x01, with the faults on.
    yield "session-cut", b"\x01\xfc" + session
    yield "noise-between", b"\x00\x07" + b"\x55\xaa\x01".join(REQUESTS)
    yield "frame-inside-garbage", b"\x00\x00" + b"\xaa\x01\x20" + frame(1, 0x20, b"\x01")
    yield "unfinished", b"\x00\x00" + frame(1, 0x26) + frame(1, 0x26)[:13]
    yield "status-reply", b"\x00\x00" + STATUS_REPLY + DOUBLES
    yield "identity-reply", b"\x00\x00" + IDENTITY_REPLY + DOUBLES
    yield "powered-up", b"\x00\x01" + b"".join(REQUESTS[:7]) + frame(1, 0x26)


def main():
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    for name, data in seeds():
        (out / f"seed-{name}").write_bytes(data)


if __name__ == "__main__":
    main()
