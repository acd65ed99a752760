"""Faults on demand, each striking every second request here, and the paced
line."""

import os
import time

import pytest
import serial
from fakes import FRAME_LENGTH, READ_IDENTITY, READ_STATUS, SET_VOLTAGE, checksum, frame, is_valid
from sim_wire import POLL_INTERVAL, POLLS, open_line, status_of, transact, watch

REQUEST = frame(1, READ_STATUS)
WINDOW = POLL_INTERVAL * POLLS


def first_time(samples, predicate):
    return next((t for t, waiting in samples if predicate(waiting)), None)


@pytest.mark.parametrize(
    "option", ["--drop-every", "--late-every", "--corrupt-every", "--split-every", "--stray-every"]
)
def test_requests_between_the_struck_ones_are_clean(start_sim, option):
    with open_line(start_sim(option, 2).port) as port:
        assert is_valid(transact(port, REQUEST))
        port.write(REQUEST)
        time.sleep(0.6)  # lets whatever the struck request brings arrive
        port.reset_input_buffer()
        assert is_valid(transact(port, REQUEST))


def struck(start_sim, option, seconds=0.8, until=None):
    """Sends two requests; returns the samples and bytes of the second
    (watched for `seconds`, and until `until(waiting)` if given)."""
    with open_line(start_sim(option, 2).port) as port:
        assert is_valid(transact(port, REQUEST))
        return watch(port, REQUEST, seconds, until=until)


def arrived(count=FRAME_LENGTH):
    """watch's `until`: `count` bytes, a whole frame by default, are waiting."""
    return lambda waiting: waiting >= count


def test_drop_stays_silent(start_sim):
    samples, data = struck(start_sim, "--drop-every")
    assert data == b"" and all(waiting == 0 for _, waiting in samples)


# What these tests see of the wire's timing, they see when this process gets
# to look, which on a busy machine may be late: they bound how soon things
# come; that the driver still takes them within its window is for
# test_end_to_end.py.


def test_late_reply_comes_after_the_window(start_sim):
    samples, data = struck(start_sim, "--late-every", until=arrived())
    assert is_valid(data) and data[2] == READ_STATUS
    assert first_time(samples, lambda waiting: waiting > 0) > WINDOW + 0.05


def test_corrupt_reply_fails_only_its_checksum(start_sim):
    _, data = struck(start_sim, "--corrupt-every", seconds=0.2, until=arrived())
    assert len(data) == 26 and data[0] == 0xAA and data[2] == READ_STATUS
    assert data[25] == checksum(data) ^ 0xFF


def test_split_reply_arrives_in_two_halves(start_sim):
    samples, data = struck(start_sim, "--split-every", seconds=0.3, until=arrived())
    assert is_valid(data)
    assert first_time(samples, lambda waiting: waiting == 13) is not None
    assert first_time(samples, lambda waiting: waiting == 26) >= 0.05  # the second half waited out the pause


def test_stray_bytes_come_before_the_reply(start_sim):
    samples, data = struck(start_sim, "--stray-every", seconds=0.2, until=arrived(3 + FRAME_LENGTH))
    assert len(data) == 29 and 0xAA not in data[:3]
    assert is_valid(data[3:])
    assert all(waiting in (0, 29) for _, waiting in samples)


@pytest.mark.parametrize("with_link", [False, True])
def test_vanish_unplugs_the_port_at_the_next_request(start_sim, tmp_path, with_link):
    link = tmp_path / "ttyQM"
    sim = start_sim("--vanish-after", 2, *(["--link", link] if with_link else []))
    with open_line(sim.port) as port:
        assert is_valid(transact(port, REQUEST))
        assert is_valid(transact(port, REQUEST))
        assert sim.process.poll() is None
        with pytest.raises(OSError):
            transact(port, REQUEST)
        assert sim.process.wait(2) == 0
        with pytest.raises(serial.SerialException):
            port.write(REQUEST)
    # Its pseudo-terminal's path is not checked: another test's supply may
    # have been given that number since.
    assert not os.path.lexists(link)


def test_its_power_and_its_port_go_and_come_back_on_demand(start_sim, tmp_path):
    """Power off: nothing is answered; on again: the factory settings.
    Unplugged: the port goes as at --vanish-after, but the supply stays, its
    settings kept; plugged in again: a new port, behind the link and told
    on standard output."""
    link, control = tmp_path / "ttyQM", tmp_path / "control"
    sim = start_sim("--link", link, "--control", control)
    with open_line(str(link)) as port:
        assert is_valid(transact(port, frame(1, SET_VOLTAGE, (5000).to_bytes(4, "little"))))
        sim.control("power off")
        assert transact(port, REQUEST) is None
        sim.control("power on")
        time.sleep(0.1)
        port.reset_input_buffer()
        assert status_of(transact(port, REQUEST))["voltage_set"] == 0
        assert is_valid(transact(port, frame(1, SET_VOLTAGE, (7000).to_bytes(4, "little"))))
        sim.control("unplug")
        with pytest.raises(OSError):
            transact(port, REQUEST)
    assert not os.path.lexists(link) and sim.process.poll() is None
    sim.control("plug")
    assert sim.process.stdout.readline().startswith("/dev/")
    with open_line(str(link)) as port:
        assert status_of(transact(port, REQUEST))["voltage_set"] == 7000


def test_unpaced_reply_lands_in_one_piece(port):
    samples, data = watch(port, REQUEST, 0.1, until=arrived())
    assert is_valid(data)
    assert {waiting for _, waiting in samples} <= {0, 26}


def test_paced_line_takes_the_time_of_the_wire(start_sim):
    byte_time = 10 / 4800
    with open_line(start_sim("--line-speed", 4800).port) as port:
        samples, data = watch(port, frame(0xFF, READ_IDENTITY), 0.3, until=arrived())
    assert is_valid(data)
    first = first_time(samples, lambda waiting: waiting > 0)
    whole = first_time(samples, lambda waiting: waiting == 26)
    # The request has to cross the line before the reply can start.
    assert first > 27 * byte_time
    assert whole > 52 * byte_time - 0.01
    assert any(0 < waiting < 26 for _, waiting in samples)


def test_paced_requests_written_together_are_answered_each_as_it_arrives(start_sim):
    byte_time = 10 / 4800
    with open_line(start_sim("--line-speed", 4800).port) as port:
        assert is_valid(transact(port, REQUEST))  # the supply has seen its client
        samples, data = watch(port, REQUEST * 2, 0.4, until=arrived(2 * FRAME_LENGTH))
    assert len(data) == 52 and is_valid(data[:26]) and is_valid(data[26:])
    # The second request is in once 52 bytes have crossed, and its reply
    # follows the first reply without a gap: 78 bytes' time in all, which
    # this process may see up to 50 ms late.
    assert 78 * byte_time - 0.01 < first_time(samples, lambda waiting: waiting == 52) < 78 * byte_time + 0.05
