"""Request frames as the supply finds them in the bytes a client sends: a
start byte, 26 bytes in all, the checksum last. Anything else is line noise,
which the supply answers with nothing."""

from qm4410 import QM4410

FRAME_LENGTH = 26
START_BYTE = QM4410._QM4410__CMD_TEMPLATE[0]  # type: ignore[attr-defined]
SETPOINT = slice(3, 7)  # the 32-bit little-endian value of the set-point commands


def _word(name: str) -> int:
    return getattr(QM4410, "_QM4410__CMD_WORD_" + name)


SET_MAX_VOLTAGE = _word("SET_MAX_OUT_VOLTAGE")
SET_VOLTAGE = _word("SET_OUT_VOLTAGE")
SET_CURRENT = _word("SET_OUT_CURRENT")
RESTORE_FACTORY = _word("RESTORE_FACTORY")

# For the log: each request word by the driver method that sends it.
_METHODS = {
    _word("SET_WORK_MODE"): "set_work_mode",
    _word("SET_OUT_MODE"): "set_ouput_mode",
    SET_MAX_VOLTAGE: "set_voltage_max",
    SET_VOLTAGE: "set_out_voltage",
    SET_CURRENT: "set_out_current",
    _word("SET_NEW_ADDR"): "set_new_addr",
    _word("READ_DEV_REAL_STATUS"): "read_dev_status",
    _word("READ_DEV_VERSION"): "read_device_version",
    RESTORE_FACTORY: "restore_factory",
}


def word_of(frame: bytes) -> int:
    return frame[2]


def setpoint_of(frame: bytes) -> int:
    """The millivolts or milliamperes a set-point frame carries."""
    return int.from_bytes(frame[SETPOINT], "little")


def described(frame: bytes) -> str:
    """The request, for the log: "set_out_voltage 5000" or "word 0x40"."""
    word = word_of(frame)
    name = _METHODS.get(word, f"word 0x{word:02x}")
    if word in (SET_MAX_VOLTAGE, SET_VOLTAGE, SET_CURRENT):
        return f"{name} {setpoint_of(frame)}"
    return name


def _is_whole(candidate: bytes | bytearray) -> bool:
    return sum(candidate[:-1]) & 0xFF == candidate[-1]


class FrameSplitter:
    """One client's byte stream cut into request frames, as the supply cuts
    its line: from each start byte, 26 bytes with a correct checksum are a
    frame; a start byte that begins none is dropped, and the search goes on
    from the next byte. Holds less than one frame between calls."""

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
            if _is_whole(candidate):
                frames.append(bytes(candidate))
                start += FRAME_LENGTH
            else:
                self.dropped += 1
                start += 1
        self._pending = buffer[start:]
        return frames

    def reset(self) -> None:
        """Forget an unfinished frame (the client purged what it sent)."""
        self.dropped += len(self._pending)
        self._pending = bytearray()
