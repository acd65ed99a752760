"""Decoding of the live status record and of the identity reply."""

import pytest
from fakes import REQUEST_WORDS, FakePort, frame, identity_reply
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from qm4410 import QM4410

KEYS = [
    "current_real",
    "voltage_real",
    "current_set",
    "voltage_max_set",
    "voltage_set",
    "out_status",
    "beyond_temp",
    "out_mode",
    "fan_speed",
    "work_mode",
]


def status_reply(status=0, **fields):
    """A status reply; ``fields`` maps a byte offset (``b3`` ...) to its value."""
    body = bytearray(22)
    body[6] = status
    for key, value in fields.items():
        body[int(key[1:]) - 3] = value
    return frame(1, 0x26, bytes(body))


def read_status(drv, port, reply):
    port.reply(reply)
    return drv.read_dev_status()


def test_a_status_reply_decoded_field_by_field(drv, port):
    """A reply written out byte by byte, and the record the driver makes of it, keys in order."""
    drv._QM4410__addr = 0
    reply = bytes.fromhex("AA 00 26 C8 00 DA 0C 00 00 B5 E8 03 88 13 00 00 E4 0C 00 00 00 00 00 00 00 A9")
    record = read_status(drv, port, reply)
    assert list(record) == KEYS
    assert record == {
        "current_real": 0.2,
        "voltage_real": 3.29,
        "current_set": 1.0,
        "voltage_max_set": 5.0,
        "voltage_set": 3.3,
        "out_status": "on",
        "beyond_temp": False,
        "out_mode": "CV",
        "fan_speed": 3,
        "work_mode": "remote",
    }
    assert [type(v) for v in record.values()] == [float] * 5 + [str, bool, str, int, str]


@pytest.mark.parametrize(
    "status, expected",
    [
        (0x00, ("off", False, "XX", 0, "local")),
        (0xFF, ("on", True, "XX", 7, "remote")),
        (0x04, ("off", False, "CV", 0, "local")),
        (0x08, ("off", False, "CC", 0, "local")),
        (0x0C, ("off", False, "XX", 0, "local")),
        (0x01, ("on", False, "XX", 0, "local")),
        (0x02, ("off", True, "XX", 0, "local")),
        (0x50, ("off", False, "XX", 5, "local")),
        (0x80, ("off", False, "XX", 0, "remote")),
        (0xF5, ("on", False, "CV", 7, "remote")),
    ],
)
def test_the_flag_byte_gives_output_temperature_mode_fan_and_control(drv, port, status, expected):
    """Byte 9: output on (bit 0), over-temperature (bit 1), the mode (bits 2-3:
    1 CV, 2 CC, else XX), the fan speed (bits 4-6), remote control (bit 7)."""
    assert tuple(read_status(drv, port, status_reply(status)).values())[5:] == expected


@pytest.mark.parametrize(
    "fields, key, value",
    [
        ({}, "current_real", 0.0),
        ({}, "voltage_set", 0.0),
        ({"b3": 0xFF, "b4": 0xFF}, "current_real", 65.535),
        ({"b5": 0xFF, "b6": 0xFF, "b7": 0xFF, "b8": 0xFF}, "voltage_real", (2**32 - 1) / 1000),
        ({"b10": 0xFF, "b11": 0xFF}, "current_set", 65.535),
        ({"b15": 0x01}, "voltage_max_set", 2**24 / 1000),
        ({"b19": 0x01}, "voltage_set", 2**24 / 1000),
        ({"b16": 0xE8, "b17": 0x03}, "voltage_set", 1.0),
    ],
)
def test_numbers_are_little_endian_thousandths(drv, port, fields, key, value):
    """Currents in two bytes, voltages in four, least significant first, in mA and
    mV: a record gives them as floats in A and V."""
    record = read_status(drv, port, status_reply(**fields))
    assert record[key] == value and type(record[key]) is float


def test_unread_bytes_and_reply_word_are_ignored(drv, port):
    plain = read_status(drv, port, status_reply(0x91))
    noisy = read_status(drv, port, frame(1, 0x12, bytes(6) + b"\x91" + bytes(10) + b"\xff" * 5))
    assert noisy == plain and noisy is not plain


def test_no_reply_gives_none(drv, port, capsys):
    assert drv.read_dev_status() is None
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("addr, last", [(0, 0xD0), (255, 0xCF)])
def test_status_request_frame(drv, port, addr, last):
    drv._QM4410__addr = addr
    drv.read_dev_status()
    assert port.writes() == [bytes([0xAA, addr, 0x26]) + bytes(22) + bytes([last])]


@settings(max_examples=200, suppress_health_check=[HealthCheck.function_scoped_fixture])  # the clock only logs
@given(st.binary(min_size=24, max_size=24).filter(lambda body: body[1] == 0x26 or body[1] not in REQUEST_WORDS))
def test_any_valid_reply_decodes(fake_time, body):
    drv, port = QM4410("x"), FakePort()
    drv.ser = port
    reply = frame(body[0], body[1], body[2:])
    record = read_status(drv, port, reply)

    def le(lo, hi):
        return int.from_bytes(reply[lo:hi], "little") / 1000

    s = reply[9]
    assert list(record) == KEYS
    assert record == {
        "current_real": le(3, 5),
        "voltage_real": le(5, 9),
        "current_set": le(10, 12),
        "voltage_max_set": le(12, 16),
        "voltage_set": le(16, 20),
        "out_status": "on" if s % 2 else "off",
        "beyond_temp": bool(s // 2 % 2),
        "out_mode": {1: "CV", 2: "CC"}.get(s // 4 % 4, "XX"),
        "fan_speed": s // 16 % 8,
        "work_mode": "remote" if s >= 128 else "local",
    }
    assert [type(v) for v in record.values()] == [float] * 5 + [str, bool, str, int, str]


@pytest.fixture
def unaddressed(drv):
    """The driver as open() has it before the identity read: every address may answer."""
    drv._QM4410__addr = 255
    return drv


def identity(drv):
    return (drv._QM4410__addr, drv._QM4410__product_model, drv._QM4410__product_number, drv._QM4410__soft_version)


def test_identity_round_trip(unaddressed, port):
    drv = unaddressed
    first = drv.show_device_version()
    assert list(first.items()) == [("model", ""), ("SN", ""), ("soft_version", 0)]
    port.reply(identity_reply(addr=5))
    port.reply(frame(5, 0x12))
    assert drv._QM4410__read_device_version() is None
    assert identity(drv) == (5, "4410", "076787041", 373)
    record = drv.show_device_version()
    assert list(record.items()) == [("model", "4410"), ("SN", "076787041"), ("soft_version", 373)]
    assert drv.show_device_version() is not record and first == {"model": "", "SN": "", "soft_version": 0}
    drv.set_work_mode()
    assert port.writes()[-1][1] == 5  # the next frame carries the reported address


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        (dict(version=65535), (5, "4410", "076787041", 65535)),
        (dict(addr=0, model=b"4411", byte7=0x55, tail=b"\xff" * 6), (0, "4411", "076787041", 373)),
        (dict(serial=b"0767\x00\x00\x00\x00\x00"), (5, "4410", "0767\x00\x00\x00\x00\x00", 373)),
        (
            dict(model=b" \x80\xe9\xff", serial=b"\x00 a\x7f\x80\x9f\xa0\xfe\xff"),
            (5, " \x80\xe9\xff", "\x00 a\x7f\x80\x9f\xa0\xfe\xff", 373),
        ),
    ],
)
def test_identity_bytes_kept_as_code_points(unaddressed, port, kwargs, expected):
    drv = unaddressed
    port.reply(identity_reply(**{"addr": 5, **kwargs}))
    drv._QM4410__read_device_version()
    assert identity(drv) == expected and len(drv._QM4410__product_number) == 9


@pytest.mark.parametrize("bad", [None, b"\xab" + identity_reply(addr=9)[1:]])
def test_failed_identity_read_keeps_fields(unaddressed, port, bad):
    drv = unaddressed
    port.reply(identity_reply(addr=5))
    drv._QM4410__read_device_version()
    if bad is not None:
        port.reply(bad)
    assert drv._QM4410__read_device_version() is None
    assert identity(drv) == (5, "4410", "076787041", 373)
    assert drv.show_device_version() == {"model": "4410", "SN": "076787041", "soft_version": 373}


def test_first_identity_request_uses_address_255(fake_time, port):
    drv = QM4410("x")
    drv.ser = port
    drv._QM4410__read_device_version()
    drv._QM4410__addr = 0
    drv._QM4410__read_device_version()
    assert port.writes() == [
        bytes([0xAA, 0xFF, 0x31]) + bytes(22) + b"\xda",
        bytes([0xAA, 0x00, 0x31]) + bytes(22) + b"\xdb",
    ]
