"""The commands the benchmark runs, each with the reply a supply gives it."""

from dataclasses import dataclass
from functools import partial

FRAME_LENGTH = 26
START_BYTE = 0xAA
REPLY_WORD = 0x12
SUPPLY_ADDRESS = 1


def frame(word: int, data: bytes = b"") -> bytes:
    """A well-formed 26-byte frame to or from the supply, carrying `data`
    from byte 3 on."""
    built = bytearray(FRAME_LENGTH)
    built[0:3] = bytes((START_BYTE, SUPPLY_ADDRESS, word))
    built[3 : 3 + len(data)] = data
    built[-1] = sum(built[:-1]) & 0xFF
    return bytes(built)


# 0.2 A, 3.29 V, output on, CV, fan 3, remote; set-points 1 A, 5 V max, 3.3 V.
STATUS_REPLY = bytes.fromhex("AA 00 26 C8 00 DA 0C 00 00 B5 E8 03 88 13 00 00 E4 0C 00 00 00 00 00 00 00 A9")
# Model "4410", software version 373, serial number "076787041".
IDENTITY_REPLY = frame(0x31, b"4410\x00\x75\x01076787041")
STATUS_REQUEST = frame(0x26)
ACKNOWLEDGEMENT = frame(REPLY_WORD)


@dataclass(frozen=True)
class Command:
    name: str  # attribute of the driver object
    args: tuple = ()
    reply: bytes | None = ACKNOWLEDGEMENT  # None: the command makes no exchange

    @property
    def exchanges(self) -> bool:
        return self.reply is not None

    def bound_to(self, driver):
        """The command as a call without arguments on `driver`, made of
        C-level pieces so that timing it adds no Python frame."""
        method = getattr(driver, self.name)
        return partial(method, *self.args) if self.args else method


# The address stays the supply's own, so a run against a virtual supply keeps
# talking to it; the set-points stay inside what any driver accepts.
COMMANDS = (
    Command("set_work_mode", ("remote",)),
    Command("set_ouput_mode", ("on",)),
    Command("set_voltage_max", (12.0,)),
    Command("set_out_voltage", (5.0,)),
    Command("set_out_current", (0.5,)),
    Command("set_new_addr", (SUPPLY_ADDRESS,)),
    Command("restore_factory"),
    Command("read_dev_status", reply=STATUS_REPLY),
    Command("_QM4410__read_device_version", reply=IDENTITY_REPLY),
    Command("show_device_version", reply=None),
)

DEVICE_COMMANDS = tuple(c for c in COMMANDS if c.exchanges)


def label(name: str) -> str:
    """A command's name as it is written inside the class."""
    return name.replace("_QM4410", "")
