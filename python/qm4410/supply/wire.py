"""The supply's wire format as the layers above the driver need it: the
frame's constants and request words, read from the driver in this one
place, and request frames found in a byte stream."""

from qm4410 import QM4410


def _constant(name: str) -> int:
    value: int = getattr(QM4410, "_QM4410__" + name)
    return value


FRAME_LENGTH = _constant("CMD_LENGTH")
START_BYTE: int = QM4410._QM4410__CMD_TEMPLATE[0]
BROADCAST_ADDRESS = 0xFF  # what a new driver sends to, before the identity tells the supply's own
ADDRESS_INDEX = 1
WORD_INDEX = 2
SETPOINT = slice(3, 7)  # the 32-bit little-endian value of the set-point requests
DATA_INDEX = SETPOINT.start  # where a request's value begins: 1 or 0 for a switch

SET_WORK_MODE = _constant("CMD_WORD_SET_WORK_MODE")
SET_OUTPUT = _constant("CMD_WORD_SET_OUT_MODE")
SET_MAX_VOLTAGE = _constant("CMD_WORD_SET_MAX_OUT_VOLTAGE")
SET_VOLTAGE = _constant("CMD_WORD_SET_OUT_VOLTAGE")
SET_CURRENT = _constant("CMD_WORD_SET_OUT_CURRENT")
SET_ADDRESS = _constant("CMD_WORD_SET_NEW_ADDR")
READ_STATUS = _constant("CMD_WORD_READ_DEV_REAL_STATUS")
READ_IDENTITY = _constant("CMD_WORD_READ_DEV_VERSION")
RESTORE_FACTORY = _constant("CMD_WORD_RESTORE_FACTORY")
REPLY = _constant("CMD_WORD_DEV_RETURN")

# Each request word by the driver method that sends it.
REQUESTS = {
    SET_WORK_MODE: "set_work_mode",
    SET_OUTPUT: "set_ouput_mode",
    SET_MAX_VOLTAGE: "set_voltage_max",
    SET_VOLTAGE: "set_out_voltage",
    SET_CURRENT: "set_out_current",
    SET_ADDRESS: "set_new_addr",
    READ_STATUS: "read_dev_status",
    READ_IDENTITY: "read_device_version",
    RESTORE_FACTORY: "restore_factory",
}
SETPOINT_WORDS = (SET_MAX_VOLTAGE, SET_VOLTAGE, SET_CURRENT)


def word_of(frame: bytes) -> int:
    return frame[WORD_INDEX]


def setpoint_of(frame: bytes) -> int:
    """The millivolts or milliamperes a set-point frame carries."""
    return int.from_bytes(frame[SETPOINT], "little")


def switches_on(frame: bytes) -> bool:
    """Whether `frame` is a request to switch the output on."""
    return word_of(frame) == SET_OUTPUT and frame[DATA_INDEX] != 0


def setting_reply(request: bytes) -> bytes:
    """The frame a supply answers a setting with: from the address the
    request went to, with its word, and no data."""
    frame = [START_BYTE, request[ADDRESS_INDEX], word_of(request)] + [0] * (FRAME_LENGTH - 4)
    return bytes(frame + [sum(frame) & 0xFF])


def answers(frame: bytes, request: bytes, address: int) -> bool:
    """Whether the frame `frame` can be the reply to `request` from the
    supply at bus address `address`: a supply answers with the request's
    own word or with the reply word, from its own address (or, to a request
    sent to every address, perhaps from that one)."""
    if word_of(frame) not in (word_of(request), REPLY):
        return False
    sender = frame[ADDRESS_INDEX]
    return sender == address or sender == request[ADDRESS_INDEX] == BROADCAST_ADDRESS


def described(frame: bytes) -> str:
    """A request, for a log: "set_out_voltage 5000" or "word 0x40"."""
    word = word_of(frame)
    name = REQUESTS.get(word, f"word 0x{word:02x}")
    return f"{name} {setpoint_of(frame)}" if word in SETPOINT_WORDS else name


def is_whole(candidate: bytes | bytearray) -> bool:
    """Whether a frame's worth of bytes from a start byte carries its checksum."""
    return sum(candidate[:-1]) & 0xFF == candidate[-1]


class FrameSplitter:
    """A byte stream cut into frames, as the supply cuts its line: from each
    start byte, 26 bytes with a correct checksum are a frame; a start byte
    that begins none is dropped, and the search goes on from the next byte.
    Holds less than one frame between calls."""

    def __init__(self) -> None:
        self._pending = bytearray()
        self.dropped = 0  # bytes that formed no frame, for the log

    def feed(self, data: bytes) -> list[bytes]:
        buffer = self._pending + data
        frames = []
        start = 0
        while True:
            found = buffer.find(START_BYTE, start)
            found = len(buffer) if found < 0 else found
            self.dropped += found - start
            start = found
            if len(buffer) - start < FRAME_LENGTH:
                break
            candidate = buffer[start : start + FRAME_LENGTH]
            if is_whole(candidate):
                frames.append(bytes(candidate))
                start += FRAME_LENGTH
            else:
                self.dropped += 1
                start += 1
        self._pending = buffer[start:]
        return frames

    def reset(self) -> None:
        """Forget an unfinished frame (its sender purged what it sent)."""
        self.dropped += len(self._pending)
        self._pending = bytearray()
