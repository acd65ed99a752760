"""Two processes that open one supply at the same moment: one gets it, the
other is refused, and their requests never cross on the line."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import qm4410

WORKER = str(Path(__file__).with_name("race_worker.py"))
ROUNDS = 20
IDENTITY = {"model": "4410", "SN": "000000001", "soft_version": 102}
BUSY = re.escape("serial port already opened!, Please close and try" + " " * 23 + "again!")
LOCKED = r"Cannot open serial port\[Errno \d+\] Could not exclusively lock port "
PORT_BUSY = 5


@pytest.fixture
def start_worker():
    started = []

    def start(*args):
        worker = subprocess.Popen(
            [sys.executable, WORKER, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
        )
        started.append(worker)
        return worker

    yield start
    for worker in started:
        worker.stdin.close()
        try:
            worker.wait(10)
        except subprocess.TimeoutExpired:
            worker.kill()
            worker.wait()
        worker.stdout.close()


def tell(workers, command):
    """Sends `command` to every worker first, then reads each one's answer."""
    for worker in workers:
        worker.stdin.write(command + "\n")
        worker.stdin.flush()
    return [worker.stdout.readline() for worker in workers]


@pytest.mark.parametrize(
    "flags, refusal",
    [
        ((), f"({BUSY}|{LOCKED})"),
        # Both passed the availability check: only the lock stands between them.
        (("--checked-free",), LOCKED),
    ],
)
def test_of_two_processes_opening_together_exactly_one_wins(start_sim, start_worker, flags, refusal):
    sim = start_sim()
    pair = [start_worker(sim.port, *flags) for _ in range(2)]
    for _ in range(ROUNDS):
        reports = [json.loads(answer) for answer in tell(pair, "open")]
        winners = [report for report in reports if report["opened"]]
        assert len(winners) == 1, reports
        [winner], [loser] = winners, [report for report in reports if not report["opened"]]
        assert winner["identity"] == IDENTITY and winner["answered"] and winner["printed"] == "", reports
        assert not loser["holds"] and re.fullmatch(refusal + ".*\n", loser["printed"]), reports
        assert tell(pair, "close") == ["closed\n", "closed\n"]


# The driver's own check sees the port free, as it does for a process that
# checks just before another opens the port.
BLIND_CHECK = """\
import sys, types
import qm4410
from qm4410.cli import main
qm4410.subprocess = types.SimpleNamespace(PIPE=-1, DEVNULL=-3, run=lambda *a, **k: types.SimpleNamespace(stdout=b""))
sys.exit(main(sys.argv[1:]))
"""


def test_command_reports_a_port_locked_by_another_process_as_busy(start_sim):
    sim = start_sim()
    holder = qm4410.QM4410(sim.port)
    assert holder.open()
    try:
        result = subprocess.run(
            [sys.executable, "-c", BLIND_CHECK, "info", "--port", sim.port], capture_output=True, text=True, timeout=60
        )
    finally:
        holder.close()
    assert result.returncode == PORT_BUSY, result
    assert result.stdout == ""  # the driver's own line is no output of the command's
    assert f"(pid {os.getpid()}," in result.stderr, result.stderr


def _own_replies(drv, values, printed):
    """Sets each current in turn; how many printed replies carried another
    request's value."""
    wrong = 0
    for value in values:
        before = len(printed)
        if drv.set_out_current(value / 1000) and printed[before:]:
            line = printed[before]
            carried = bytes(int(v) for v in line[line.index("[") + 1 : -1].split(", "))[3:7]
            wrong += int.from_bytes(carried, "little") != value
    return wrong


def test_a_driver_shared_by_fork_takes_turns_across_the_processes(monkeypatch):
    """Parent and child use one driver at once; then a child ends in the
    middle of an exchange, and the parent still gets the line, in step."""
    import signal
    import warnings

    from peer_supply import PeerSupply

    printed = []
    monkeypatch.setattr(qm4410, "print", printed.append, raising=False)
    peer = PeerSupply(echo=False, latency=0.002)
    peer.start()
    drv = qm4410.QM4410(peer.port)
    try:
        assert drv.open()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # the supply's thread stays in the parent
            children = [os.fork() for _ in range(1)]
        if children == [0]:
            try:
                signal.alarm(30)
                os._exit(min(_own_replies(drv, range(1, 61), printed), 100))
            finally:
                os._exit(101)
        parent_wrong = _own_replies(drv, range(1001, 1061), printed)
        _, status = os.waitpid(children[0], 0)
        assert (parent_wrong, os.waitstatus_to_exitcode(status)) == (0, 0)

        class EndingPort:  # a child that ends between its write and the reply
            def __getattr__(self, name):
                return getattr(drv_port, name)

            def write(self, data):
                drv_port.write(data)
                os._exit(0)

        drv_port = drv.ser
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            pid = os.fork()
        if pid == 0:
            drv.ser = EndingPort()
            drv.read_dev_status()
            os._exit(102)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        assert _own_replies(drv, [7], printed) == 0 and printed  # its reply was read away first
    finally:
        drv.close()
        peer.stop()
