"""Frames as the tests build them: a supply's replies and the driver's
requests, each sealed with its checksum."""

FRAME_LENGTH = 26
# The words a request can carry; a reply carrying one of them answers that request.
REQUEST_WORDS = frozenset(range(0x20, 0x27)) | {0x31, 0x32}


def frame(addr, word, data=b"", start=0xAA):
    """A 26-byte frame with a correct checksum; ``data`` fills bytes 3 onward."""
    body = [start, addr, word] + list(data) + [0] * (22 - len(data))
    return bytes(body + [sum(body) & 0xFF])


def identity_reply(model=b"4410", addr=1, serial=b"076787041", version=373, byte7=0, tail=bytes(6)):
    """The reply to the identity request: model in bytes 3..6, version in
    8..9, serial number in 10..18. Text may be given as str or bytes."""
    encode = lambda text: text.encode("latin-1") if isinstance(text, str) else text  # noqa: E731
    return frame(addr, 0x31, encode(model) + bytes([byte7]) + version.to_bytes(2, "little") + encode(serial) + tail)
