"""Random replies and random arguments, checked against a plain model of the
driver: which reply is taken, what a set-point becomes on the wire, which
arguments are refused before anything is sent."""

import math

import pytest
from fakes import REQUEST_WORDS, FakePort, frame
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from qm4410 import QM4410

POLLS, LENGTH = 30, 26
quiet = settings(max_examples=150, suppress_health_check=[HealthCheck.function_scoped_fixture])


def fresh(port=None):
    drv = QM4410("/dev/ttyFAKE0")
    drv._QM4410__addr = 1
    drv.ser = port or FakePort()
    return drv, drv.ser


def valid(data):
    return len(data) == LENGTH and data[0] == 0xAA and data[25] == sum(data[:25]) & 0xFF


def taken(chunks, word):
    """What the driver takes for the reply to a request carrying `word`: one
    chunk lands per poll; a poll that finds exactly one frame waiting reads
    it, and a valid frame with another request's word, or from another
    address than the driver's 1, is read away while polling goes on. (reply
    or None, chunks used)."""
    waiting = b""
    for used, chunk in enumerate(chunks[:POLLS], 1):
        waiting += chunk
        if len(waiting) != LENGTH:
            continue
        if valid(waiting) and (waiting[2] != word and waiting[2] in REQUEST_WORDS or waiting[1] != 1):
            waiting = b""
            continue
        return waiting, used
    return None, min(len(chunks), POLLS)


# A reply on the line: mostly a real frame, often spoilt, cut into pieces that
# arrive one per poll (b"" for a poll at which nothing new comes).
@st.composite
def line_replies(draw):
    body = draw(st.binary(min_size=23, max_size=23))
    data = bytearray(frame(draw(st.sampled_from([1, body[0]])), 0x26, body[1:]))
    spoil = draw(st.sampled_from(["none", "byte", "length", "random"]))
    if spoil == "byte":
        at = draw(st.integers(0, LENGTH - 1))
        data[at] = (data[at] + draw(st.integers(1, 255))) % 256
    elif spoil == "length":
        data = (
            data + draw(st.binary(min_size=1, max_size=4)) if draw(st.booleans()) else data[: draw(st.integers(0, 25))]
        )
    elif spoil == "random":
        data = bytearray(draw(st.binary(max_size=60)))
    cuts = sorted(draw(st.lists(st.integers(0, len(data)), max_size=6)))
    chunks = [bytes(data[a:b]) for a, b in zip([0] + cuts, cuts + [len(data)])]
    return chunks


@quiet
@given(chunks=line_replies())
def test_only_a_whole_valid_frame_is_taken(fake_time, chunks):
    drv, port = fresh()
    reply, used = taken(chunks, 0x26)
    port.reply(*chunks)
    record = drv.read_dev_status()
    assert (record is not None) == (reply is not None and valid(reply))
    if record is not None:
        assert record["voltage_set"] == int.from_bytes(reply[16:20], "little") / 1000
    # A setting command is True exactly when its reply would be taken.
    drv, port = fresh()
    port.reply(*chunks)
    setting_reply, _ = taken(chunks, 0x20)
    assert drv.set_work_mode("local") is (setting_reply is not None and valid(setting_reply))
    # What is left over after a failure never spoils the next exchange,
    # provided nothing is still on its way.
    if record is None and used == len(chunks):
        drv, port = fresh()
        port.reply(*chunks)
        drv.read_dev_status()
        port.reply(frame(1, 0x26, bytes(13) + (5000).to_bytes(4, "little")))
        assert drv.read_dev_status()["voltage_set"] == 5.0


@quiet
@given(
    addr=st.integers(0, 255),
    model=st.binary(min_size=4, max_size=4),
    byte7=st.integers(0, 255),
    version=st.integers(0, 65535),
    serial=st.binary(min_size=9, max_size=9),
    tail=st.binary(min_size=6, max_size=6),
)
def test_any_identity_reply_is_kept_as_sent(fake_time, addr, model, byte7, version, serial, tail):
    drv, port = fresh()
    drv._QM4410__addr = 255  # as open() asks: every address may answer
    port.reply(frame(addr, 0x31, model + bytes([byte7]) + version.to_bytes(2, "little") + serial + tail))
    assert drv._QM4410__read_device_version() is None
    assert drv.show_device_version() == {
        "model": model.decode("latin-1"),
        "SN": serial.decode("latin-1"),
        "soft_version": version,
    }
    assert drv._QM4410__addr == addr


SETPOINTS = [
    ("set_voltage_max", 0x22, "voltage"),
    ("set_out_voltage", 0x23, "voltage"),
    ("set_out_current", 0x24, "current"),
]


@pytest.mark.parametrize("method, word, quantity", SETPOINTS)
@quiet
@given(value=st.floats() | st.integers(-(10**7), 10**7) | st.floats(-1.0, 4294968.0))
def test_any_set_point_is_sent_truncated_or_refused(fake_time, method, word, quantity, value):
    drv, port = fresh()
    port.reply(frame(1, 0x12))
    product = float(value) * 1000
    if math.isnan(product):
        expected = ValueError, "cannot convert float NaN to integer"
    elif math.isinf(value):
        expected = OverflowError, "cannot convert float infinity to integer"
    elif math.isinf(product) or not 0 <= math.trunc(product) <= 0xFFFFFFFF:  # 1.8e305 V and more overflow the product
        expected = ValueError, f"{quantity} out of range: {float(value)!r}"
    else:
        assert getattr(drv, method)(value) is True
        [sent] = port.writes()
        assert sent[:3] == bytes([0xAA, 1, word]) and sent[7:25] == bytes(18) and valid(sent)
        assert int.from_bytes(sent[3:7], "little") == math.trunc(product)
        return
    with pytest.raises(expected[0]) as err:
        getattr(drv, method)(value)
    assert str(err.value) == expected[1]
    assert port.log == []


@quiet
@given(address=st.integers())
def test_any_address_is_sent_or_refused(fake_time, address):
    drv, port = fresh()
    port.reply(frame(1, 0x12))
    if 0 <= address <= 255:
        assert drv.set_new_addr(address) is True
        assert port.writes() == [frame(1, 0x25, bytes([address]))]
    else:
        with pytest.raises(ValueError):
            drv.set_new_addr(address)
        assert port.log == []


MODES = [("set_work_mode", 0x20, {"remote": 1, "local": 0}), ("set_ouput_mode", 0x21, {"on": 1, "off": 0})]


@pytest.mark.parametrize("method, word, choices", MODES)
@quiet
@given(mode=st.sampled_from(["remote", "local", "on", "off"]) | st.text(max_size=8) | st.integers() | st.binary())
def test_only_the_two_mode_words_are_taken(fake_time, method, word, choices, mode):
    drv, port = fresh()
    port.reply(frame(1, 0x12))
    if type(mode) is str and mode in choices:
        assert getattr(drv, method)(mode) is True
        assert port.writes() == [frame(1, word, bytes([choices[mode]]))]
    else:
        assume(mode not in choices)  # 1 == True == ... never a mode word here
        with pytest.raises(ValueError):
            getattr(drv, method)(mode)
        assert port.log == []
