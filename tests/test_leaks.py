"""Many calls, good and bad, leave reference counts, traced memory and the
process's resident size where they were."""

import contextlib
import ctypes
import gc
import os
import sys
import tracemalloc
import types

import pytest
from fakes import frame

import qm4410
from qm4410 import QM4410, _line

REPLY = frame(1, 0x26, bytes(6) + b"\x95" + bytes(15))


class AutoPort:
    """Answers every request at once with ``answer`` (None: never answers)."""

    def __init__(self, answer=REPLY):
        self.answer, self.waiting = answer, 0

    def write(self, data):
        self.waiting = 26 if self.answer is not None else 0

    def inWaiting(self):
        return self.waiting

    def read(self, size):
        self.waiting = 0
        return self.answer


class BrokenPort:
    def write(self, data):
        raise Broken("line down")

    def inWaiting(self):
        return 0


class Broken(Exception):
    pass


def heap_in_use_under_sanitizer():
    """AddressSanitizer's count of heap bytes in use, or None without it.

    Under the sanitizer freed blocks wait in a quarantine, so the resident
    size only grows; its own count is the exact measure there.
    """
    try:
        count = getattr(ctypes.CDLL(None), "__sanitizer_get_current_allocated_bytes")
    except AttributeError:
        return None
    count.restype = ctypes.c_size_t
    return count


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def resident_growth(warm_up, rounds, step):
    """Memory the process gained over ``rounds`` calls of ``step`` after ``warm_up`` calls.

    Memory the interpreter cannot trace (the C++ side's own allocations) only
    shows here. The warm-up lets the allocators reach their working size first.
    """
    held = heap_in_use_under_sanitizer()
    if held is None:
        held = resident_bytes
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        for _ in range(warm_up):
            step()
        gc.collect()
        base = held()
        for _ in range(rounds):
            step()
        gc.collect()
        return held() - base


def measure(rounds, step, watched):
    """Runs ``step`` ``rounds`` times after a warm-up; returns (refcount growth, bytes grown)."""
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        for _ in range(50):
            step()
        gc.collect()
        # Deep enough to reach this file from within pyserial's imports.
        tracemalloc.start(10)
        try:
            counts = [sys.getrefcount(obj) for obj in watched]
            before = tracemalloc.take_snapshot()
            for _ in range(rounds):
                step()
            gc.collect()
            after = tracemalloc.take_snapshot()
            counts_after = [sys.getrefcount(obj) for obj in watched]
        finally:
            tracemalloc.stop()
    # Only what the steps allocated: a thread that an earlier test left
    # running (a connection's reader, say) may allocate meanwhile.
    ours = [tracemalloc.Filter(True, __file__, all_frames=True)]
    grown = sum(stat.size_diff for stat in after.filter_traces(ours).compare_to(before.filter_traces(ours), "filename"))
    return [a - b for a, b in zip(counts_after, counts)], grown


@pytest.fixture
def quiet_clock(monkeypatch):
    monkeypatch.setattr(qm4410, "time", types.SimpleNamespace(sleep=lambda seconds: None))


def device_commands():
    """Every device command once, all answered; returns (step, objects passed in)."""
    drv, port = QM4410("/dev/ttyFAKE0"), AutoPort()
    drv.ser = port
    # Objects of the test's own: the literals "remote" and "local" are
    # interned, and any other code's references to them count too.
    mode_r, mode_l = (word.encode().decode() for word in ("remote", "local"))
    volts, amps, mode_on, addr = float("1.5"), float("0.25"), "on", 201
    frame_list = [0xAA, 1, 0x26] + [0] * 23
    request, data, quiet = bytes(frame_list), b"\x05", float("0.02")

    def step():
        drv.set_work_mode(mode_r), drv.set_work_mode(mode_l), drv.set_ouput_mode(mode_on), drv.set_ouput_mode()
        drv.set_new_addr(addr), drv.restore_factory(), drv.set_voltage_max(volts), drv.set_out_voltage(volts)
        drv.set_out_current(amps), drv.read_dev_status(), drv._QM4410__read_device_version()
        drv.show_device_version(), drv._QM4410__cal_crc(frame_list), drv._QM4410__check_crc(frame_list)
        drv._QM4410__write_and_read(frame_list)
        _line.exchange(drv, request, quiet=quiet), _line.plan(drv, 0x26, quiet=quiet), _line.request(drv, 0x21, data)
        _line.status_of(REPLY), _line.identity_of(REPLY), _line.address(drv)

    return step, [drv, port, REPLY, volts, amps, mode_r, mode_l, frame_list, request, data, quiet]


def error_paths():
    """Each refused argument, unanswered or spoilt reply and failing port once."""
    drv, silent, bad = QM4410("/dev/ttyFAKE0"), AutoPort(None), AutoPort(REPLY[:25] + b"\x00")
    bare = QM4410("/dev/ttyFAKE1")
    broken = BrokenPort()
    args = [True, 300, "5", float("nan"), float("inf"), -1.0, "REMOTE", None, tuple(REPLY), [1, "x", 0]]
    calls = [
        lambda: drv.set_new_addr(args[0]),
        lambda: drv.set_new_addr(args[1]),
        lambda: drv.set_out_voltage(args[2]),
        lambda: drv.set_out_current(args[3]),
        lambda: drv.set_voltage_max(args[4]),
        lambda: drv.set_out_voltage(args[5]),
        lambda: drv.set_work_mode(args[6]),
        lambda: drv.set_ouput_mode(args[7]),
        lambda: drv._QM4410__write_and_read(args[8]),
        lambda: drv._QM4410__cal_crc(args[9]),
        lambda: bare.read_dev_status(),
    ]

    def step():
        for call in calls:
            try:
                call()
            except (TypeError, ValueError, OverflowError, AttributeError):
                pass
            else:
                raise AssertionError("a refused call went through")
        for port, expected in ((silent, None), (bad, None)):
            drv.ser = port
            assert drv.read_dev_status() is expected and drv.set_out_voltage(1.0) is False
        drv.ser = broken
        with pytest.raises(Broken):
            drv.restore_factory()

    own = [a for a in args if a is not True and a is not None]  # the singletons are shared by everyone
    return step, [drv, bare, silent, bad, broken] + own


def dropped_drivers():
    """A new driver for each status read, dropped at once."""
    port = AutoPort()

    def step():
        drv = QM4410("/dev/ttyFAKE0")
        drv.ser = port
        drv.read_dev_status()

    return step, [port]


def port_names(paths):
    """The availability check and open() of URLs, through pyserial's own
    handlers, in three parts that each take seconds under tracemalloc:
    "checks" of a port elsewhere and of the device behind one, "loopback"
    (whose echo is no accepted model), "refusals" of a raw socket and of an
    unknown scheme."""
    remote, local, loop, raw, unknown = (
        QM4410(url)
        for url in (
            "rfc2217://labpi:4001",
            "spy:///dev/ttyFAKE0",
            "loop://",
            "socket://labpi:4001",
            "nosuchscheme://labpi",
        )
    )

    def refused(driver, kind):
        try:
            _line.open(driver)
        except kind:
            pass

    def checks():
        assert remote.check_port_available() is True and local.check_port_available() is True

    def loopback():
        assert loop.open() is False
        refused(loop, _line.WrongModel)

    def refusals():
        assert raw.open() is False and unknown.open() is False
        refused(unknown, _line.OpenError)

    steps = {
        "checks": (checks, [remote, local, remote.port, local.port]),
        "loopback": (loopback, [loop]),
        "refusals": (refusals, [raw, unknown, raw.port]),
    }
    return steps[paths]


@pytest.fixture
def silent_lsof(monkeypatch):
    """lsof that finds nobody holding the port, without starting a process."""
    found = types.SimpleNamespace(stdout=b"")
    fake = types.SimpleNamespace(PIPE=-1, DEVNULL=-3, run=lambda *args, **kwargs: found)
    monkeypatch.setattr(qm4410, "subprocess", fake)


def test_device_commands_do_not_leak(quiet_clock):
    step, watched = device_commands()
    grown_refs, grown_bytes = measure(2000, step, watched)
    assert grown_refs == [0] * len(watched)
    assert grown_bytes < 32 * 1024, f"traced memory grew by {grown_bytes} bytes over 2000 rounds"


def test_error_paths_do_not_leak(quiet_clock):
    step, watched = error_paths()
    grown_refs, grown_bytes = measure(500, step, watched)
    assert grown_refs == [0] * len(watched)
    assert grown_bytes < 32 * 1024, f"traced memory grew by {grown_bytes} bytes over 500 rounds"


# What the port names' paths allocate, the interpreter allocates (they keep
# nothing on the C++ side), so traced memory covers them.
@pytest.mark.parametrize("paths", ["checks", "loopback", "refusals"])
def test_port_names_do_not_leak(quiet_clock, silent_lsof, paths):
    step, watched = port_names(paths)
    grown_refs, grown_bytes = measure(500, step, watched)
    assert grown_refs == [0] * len(watched)
    assert grown_bytes < 32 * 1024, f"traced memory grew by {grown_bytes} bytes over 500 rounds"


def test_dropped_drivers_are_forgotten(quiet_clock):
    step, watched = dropped_drivers()
    grown_refs, grown_bytes = measure(2000, step, watched)
    assert grown_refs == [0]
    assert grown_bytes < 32 * 1024, f"traced memory grew by {grown_bytes} bytes over 2000 drivers"


# 5,000 calls of every command (75,000 calls), 5,000 of every error path,
# 20,000 drivers: a leak of 16 bytes a call breaks the bound, and anything
# that kept a frame, a record or a driver's line would break it by far.
@pytest.mark.skipif(
    not os.path.exists("/proc/self/statm") and heap_in_use_under_sanitizer() is None, reason="needs /proc"
)
@pytest.mark.parametrize(
    "steps, rounds",
    [(device_commands, 5000), (error_paths, 5000), (dropped_drivers, 20000)],
    ids=["commands", "errors", "drivers"],
)
def test_resident_size_settles(quiet_clock, steps, rounds):
    step, _ = steps()
    grown = resident_growth(2000, rounds, step)
    assert grown < 256 * 1024, f"resident size grew by {grown} bytes over {rounds} rounds"
