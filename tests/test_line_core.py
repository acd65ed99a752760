"""qm4410._line, the driver's structured core: exchanges that tell how they
went, the plan of the next one, requests and replies without printing, and
an open that raises the kind of its refusal."""

import errno
import os
import shutil
import socket
import sys
import termios
import time
import types

import pytest
import serial
from fakes import FakePort, FakeSerialModule, answers_identity, frame, identity_reply

import qm4410
from qm4410 import _line

REQUEST = frame(1, 0x26)
REPLY = frame(1, 0x26, b"\x01\x02\x03")
OWN = frame(1, 0x26, b"\x04\x05\x06")  # the reply to the second request, told from REPLY
OTHER_WORD = frame(1, 0x23)  # answers a set-point request, not this one
# The core's times and time.monotonic() are read apart: they agree this closely.
CLOCKS_AGREE = 0.005


def exchanged(drv, **options):
    """The exchange, with the monotonic times around it, widened by CLOCKS_AGREE."""
    before = time.monotonic() - CLOCKS_AGREE
    result = _line.exchange(drv, REQUEST, **options)
    return result, before, time.monotonic() + CLOCKS_AGREE


def test_an_answered_exchange_tells_how_it_went(drv, port, log):
    port.reply(b"", b"", REPLY)
    result, before, after = exchanged(drv)
    assert result.reply == REPLY and result.poll == 3
    assert before <= result.written_at <= result.answered_at <= after
    assert (result.read_before, result.read_after, result.doubtful, result.out_of_step, result.settle_until) == (
        0,
        0,
        False,
        False,
        None,
    )
    # The calls on the port are __write_and_read's, to the byte.
    assert log[:2] == [("inWaiting", 0), ("write", REQUEST)] and log[-1] == ("read", 26)


def test_an_unanswered_exchange_leaves_the_line_out_of_step_for_a_window(drv, port):
    result, before, after = exchanged(drv)
    assert (result.reply, result.poll, result.answered_at, result.doubtful, result.out_of_step) == (
        None,
        None,
        None,
        False,
        True,
    )
    assert result.written_at + _line.REPLY_WINDOW_S <= result.settle_until <= after + _line.REPLY_WINDOW_S
    assert _line.plan(drv, 0x26).settle_until == pytest.approx(result.settle_until, abs=CLOCKS_AGREE)


@pytest.mark.parametrize(
    "first_reply, chunks, read_after",
    [
        (None, (REPLY,), 0),  # the failed request's reply never showed: this one may be it
        (REPLY, (OTHER_WORD, REPLY), 26),  # another request's reply came first, and was read away
    ],
)
def test_a_doubtful_reply_says_so_and_leaves_the_line_out_of_step(drv, port, first_reply, chunks, read_after):
    if first_reply is not None:
        port.reply(first_reply)
    _line.exchange(drv, REQUEST)
    port.reply(*chunks)
    result = _line.exchange(drv, REQUEST)
    assert result.reply == REPLY and result.read_after == read_after
    assert result.doubtful and result.out_of_step and result.settle_until > result.answered_at


@pytest.mark.parametrize("quiet, taken, read_before", [(0.0, REPLY, 0), (0.5, OWN, 26)])
def test_quiet_reads_away_a_second_copy_that_comes_after_the_look(drv, port, quiet, taken, read_before):
    # The reply at the first poll, its copy at the second look of the next
    # exchange; without the quiet, that is at its first poll, before its own.
    port.reply(REPLY, b"", REPLY)
    assert _line.exchange(drv, REQUEST).reply == REPLY
    port.reply(b"", OWN)
    result = _line.exchange(drv, REQUEST, quiet=quiet)
    assert result.reply == taken and result.read_before == read_before


def test_the_plan_tells_each_words_recent_polls_and_the_quiet_owed(drv, port):
    for polls in (3, 5):
        port.reply(*([b""] * (polls - 1) + [REPLY]))
        last, _, after = exchanged(drv)
    plan = _line.plan(drv, 0x26)
    assert plan.polls == (3, 5) and plan.settle_until is None
    assert plan.most == pytest.approx(5 * _line.POLL_S)
    assert _line.plan(drv, 0x23) == (0.0, None, ())
    # The quiet counts from the end of the last exchange.
    quiet = _line.plan(drv, 0x26, quiet=0.5)
    if quiet.settle_until is None:
        assert time.monotonic() >= last.answered_at + 0.5  # this machine stalled that long
    else:
        assert last.answered_at + 0.5 <= quiet.settle_until + CLOCKS_AGREE <= after + 0.5 + 2 * CLOCKS_AGREE
        assert quiet.most > 5 * _line.POLL_S


def test_requests_carry_the_drivers_address_and_replies_decode_as_the_class_does(drv, port):
    assert _line.request(drv, 0x23, (1222).to_bytes(4, "little")) == frame(1, 0x23, b"\xc6\x04")
    assert _line.address(drv) == 1
    reply = frame(1, 0x26, bytes.fromhex("C8 00 DA 0C 00 00 B5 E8 03 88 13 00 00 E4 0C 00 00"))
    port.reply(reply)
    assert _line.status_of(reply) == drv.read_dev_status()
    assert _line.identity_of(identity_reply("4411", addr=7, version=373)) == {
        "model": "4411",
        "SN": "076787041",
        "soft_version": 373,
        "address": 7,
    }


@pytest.mark.parametrize(
    "call",
    [
        lambda drv: _line.request(drv, 256),
        lambda drv: _line.request(drv, 0x26, bytes(23)),
        lambda drv: _line.status_of(REPLY[:25]),
        lambda drv: _line.identity_of(REPLY[:25] + b"\x00"),
        lambda drv: _line.exchange(drv, REQUEST, quiet=-1.0),
    ],
)
def test_what_the_core_cannot_do_is_refused_before_anything_is_sent(drv, port, call):
    with pytest.raises(ValueError):
        call(drv)
    assert port.log == []


# Opening.

PORT = "/dev/ttyUSB9"


@pytest.fixture
def lsof(monkeypatch):
    """lsof as the typed check runs it: its calls, and what it answers."""
    fake = types.SimpleNamespace(PIPE=-1, DEVNULL=-3, calls=[], stdout=b"", error=None)

    def run(*args, **kwargs):
        fake.calls.append((args, kwargs))
        if fake.error is not None:
            raise fake.error
        return types.SimpleNamespace(stdout=fake.stdout, stderr=b"")

    fake.run = run
    monkeypatch.setattr(qm4410, "subprocess", fake)
    return fake


@pytest.fixture
def fake_serial(monkeypatch, fake_time):
    fake = FakeSerialModule(make_port=lambda: FakePort(answers_identity("4410")))
    monkeypatch.setattr(qm4410, "serial", fake)
    return fake


def chained(error, cause):
    """`error` as pyserial raises it, while handling `cause`."""
    error.__context__ = cause
    return error


@pytest.mark.parametrize(
    "error, kind",
    [
        (serial.SerialException(errno.ENOENT, "could not open port"), _line.NoSuchPort),
        (serial.SerialException(errno.EACCES, "could not open port"), _line.PermissionDenied),
        (serial.SerialException(errno.EAGAIN, "Could not exclusively lock port"), _line.LockRefused),
        (serial.SerialException(errno.EBUSY, "could not open port"), _line.PortBusy),
        (
            chained(serial.SerialException("Could not configure port"), termios.error(errno.ENOTTY, "ioctl")),
            _line.NotASerialPort,
        ),
        (
            chained(serial.SerialException("Could not open port"), socket.gaierror(socket.EAI_NONAME, "unknown")),
            _line.UnknownHost,
        ),
        (chained(serial.SerialException("Could not open port"), TimeoutError("timed out")), _line.Unreachable),
        (serial.SerialException(errno.EHOSTUNREACH, "no route"), _line.Unreachable),
        (BrokenPipeError(errno.EPIPE, "Broken pipe"), _line.HungUp),  # as the RFC 2217 handshake lets it through
        (serial.SerialException("Remote does not seem to support RFC2217"), _line.OpenError),  # words alone
    ],
)
def test_a_port_that_does_not_open_is_refused_by_its_kind(fake_serial, lsof, error, kind):
    fake_serial.error = error
    drv = qm4410.QM4410(PORT)
    with pytest.raises(_line.OpenError) as refused:
        _line.open(drv)
    assert type(refused.value) is kind and refused.value.__cause__ is error
    assert isinstance(refused.value, OSError) and not hasattr(drv, "ser")
    assert lsof.calls == [((["lsof", "-F", "pc", "--", PORT],), {"stdout": -1, "stderr": -1, "stdin": -3})]


@pytest.mark.parametrize(
    "listing, holders",
    [(b"p4242\ncminicom\np7\ncscreen\n", ((4242, "minicom"), (7, "screen"))), (b"p4242\n", ((4242, None),))],
)
def test_a_held_port_names_its_holders_and_is_not_opened(fake_serial, lsof, listing, holders):
    lsof.stdout = listing
    with pytest.raises(_line.PortBusy) as refused:
        _line.open(qm4410.QM4410(PORT))
    assert (refused.value.pid, refused.value.program) == holders[0] and refused.value.holders == holders
    assert fake_serial.calls == []


def test_lsof_failing_is_a_refusal_with_its_cause(fake_serial, lsof):
    lsof.error = FileNotFoundError(errno.ENOENT, "No such file or directory: 'lsof'")
    with pytest.raises(_line.OpenError) as refused:
        _line.open(qm4410.QM4410(PORT))
    assert type(refused.value) is _line.OpenError and refused.value.__cause__ is lsof.error
    assert fake_serial.calls == []


@pytest.mark.parametrize("model, kind", [(None, _line.NoAnswer), ("4412", _line.WrongModel), ("4411", None)])
def test_the_identity_decides_and_a_rejected_port_is_closed(fake_serial, lsof, model, kind):
    fake_serial.make_port = lambda: FakePort(answers_identity(model) if model else None)
    drv = qm4410.QM4410(PORT)
    if kind is None:
        assert _line.open(drv) is None and drv.ser.close_calls == 0
        assert drv.show_device_version()["model"] == model and _line.address(drv) == 1
        return
    with pytest.raises(kind) as refused:
        _line.open(drv)
    assert refused.value.__cause__ is None and drv.ser.close_calls == 1
    assert getattr(refused.value, "model", None) == model


real_ports = pytest.mark.skipif(
    not sys.platform.startswith("linux") or shutil.which("lsof") is None, reason="needs Linux and lsof"
)


@real_ports
def test_what_pyserial_really_raises_is_told_apart(tmp_path):
    """Real ports, on this machine: no fakes between pyserial and the kinds."""
    not_a_port = tmp_path / "file"
    not_a_port.write_bytes(b"")
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    free_port = listener.getsockname()[1]
    listener.close()  # nothing listens there now
    for name, kind in [
        (str(tmp_path / "missing"), _line.NoSuchPort),
        (str(not_a_port), _line.NotASerialPort),
        (str(tmp_path), _line.NotASerialPort),  # a folder
        (f"rfc2217://127.0.0.1:{free_port}", _line.ConnectionRefused),
    ]:
        with pytest.raises(_line.OpenError) as refused:
            _line.open(qm4410.QM4410(name))
        assert type(refused.value) is kind, (name, refused.value.__cause__)


@real_ports
def test_a_port_held_by_this_process_is_busy_by_lsof():
    held, device = os.openpty()
    try:
        with pytest.raises(_line.PortBusy) as refused:
            _line.open(qm4410.QM4410(os.ttyname(device)))
        assert os.getpid() in [pid for pid, _ in refused.value.holders]
    finally:
        os.close(held)
        os.close(device)
