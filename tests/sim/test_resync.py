"""Bytes that are not a request are dropped; the next real frame is found."""

import random
import time

import pytest
from fakes import READ_STATUS, SET_WORK_MODE, frame, is_valid
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from sim_wire import open_line, transact

STATUS_REQUEST = frame(1, READ_STATUS)


def with_bad_checksum(request):
    return request[:25] + bytes([request[25] ^ 0x01])


@pytest.mark.parametrize(
    "garbage",
    [
        b"\x00\x01\x02\x55",
        b"\xaa",  # a lone start byte
        b"\xaa\xaa\xaa",
        with_bad_checksum(frame(1, SET_WORK_MODE, [1])),
        # A frame whose checksum fails, with a real frame starting inside it:
        # only the first start byte may be given up on.
        b"\xaa\x01\x20" + frame(1, SET_WORK_MODE, [1]),
    ],
    ids=["noise", "lone-start", "start-bytes", "bad-checksum", "frame-inside-garbage"],
)
def test_garbage_before_a_request_is_dropped(port, garbage):
    port.write(garbage)
    reply = transact(port, STATUS_REQUEST)
    if garbage.startswith(b"\xaa\x01\x20\xaa"):
        # The hidden frame is a real request and gets its own reply first.
        assert reply is None
        assert len(port.read(port.in_waiting)) == 52
    else:
        assert is_valid(reply) and reply[2] == READ_STATUS


def test_unfinished_frame_is_abandoned_after_a_silence(port):
    # These four bytes followed by the first 22 of a status request would pass
    # the checksum test, so only the silence keeps the request from being
    # swallowed into a bogus frame.
    port.write(b"\xaa\x01\x20\x64")
    time.sleep(0.4)
    reply = transact(port, STATUS_REQUEST)
    assert is_valid(reply) and reply[2] == READ_STATUS


def test_partial_frame_is_forgotten_when_the_client_leaves(start_sim):
    sim = start_sim()
    with open_line(sim.port) as port:
        port.write(b"\xaa\x01\x20\x64")
        port.flush()
    # Back well before the frame would count as abandoned; a driver's own
    # availability check takes about this long before it reopens.
    time.sleep(0.1)
    with open_line(sim.port) as port:
        reply = transact(port, STATUS_REQUEST)
    assert is_valid(reply) and reply[2] == READ_STATUS


@pytest.fixture
def shared_port(start_sim):
    """One line for all the examples of a test (hypothesis runs them under
    one call of the fixture), to a supply that must end cleanly after them."""
    sim = start_sim()
    with open_line(sim.port) as connection:
        yield connection
    assert sim.stop() == 0


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(garbage=st.binary(max_size=80).map(lambda b: b.replace(b"\xaa", b"")))
def test_any_noise_without_a_start_byte_is_skipped(shared_port, garbage):
    shared_port.write(garbage)
    reply = transact(shared_port, STATUS_REQUEST)
    assert is_valid(reply) and reply[2] == READ_STATUS


def test_a_flood_of_random_bytes_neither_crashes_nor_wedges_it(start_sim):
    sim = start_sim()
    noise = random.Random(4410).randbytes(64 * 1024)
    with open_line(sim.port) as port:
        for start in range(0, len(noise), 1024):
            port.write(noise[start : start + 1024])
        time.sleep(0.4)
        # Chance frames in the noise were answered; those replies are not ours.
        port.reset_input_buffer()
        reply = transact(port, STATUS_REQUEST)
    assert is_valid(reply) and reply[2] == READ_STATUS
    assert sim.process.poll() is None


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS"))


def test_a_paced_line_keeps_a_bounded_input_buffer(start_sim):
    sim = start_sim("--line-speed", 4800)
    burst = frame(1, READ_STATUS) * (2 * 1024 * 1024 // 26)  # 2 MB of requests, faster than any line
    with open_line(sim.port) as port:
        transact(port, STATUS_REQUEST)
        before = resident_kib(sim.process.pid)
        port.write(burst)
        after = resident_kib(sim.process.pid)
        time.sleep(2 * 256 * 10 / 4800 + 0.3)  # what the input buffer kept has come in and been answered
        port.reset_input_buffer()
        replies = [transact(port, STATUS_REQUEST) for _ in range(5)]
    assert after - before < 1024, (before, after)
    assert all(is_valid(reply) and reply[2] == READ_STATUS for reply in replies)
