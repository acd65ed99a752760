"""qm4410-sim as a program: options, the port's users, signals, links and
the command it runs."""

import os
import signal
import subprocess
import sys
import time

import pytest
from fakes import READ_IDENTITY, READ_STATUS, SET_VOLTAGE, frame, is_valid, request
from sim_wire import open_line, transact

OPTIONS = [
    "--address",
    "--model",
    "--serial",
    "--version",
    "--load",
    "--drop-every",
    "--late-every",
    "--corrupt-every",
    "--split-every",
    "--stray-every",
    "--vanish-after",
    "--line-speed",
    "--link",
    "--verbose",
    "--help",
]


def lsof(path):
    return subprocess.run(["lsof", path], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wakeups(pid):
    """Voluntary context switches: one per return from a blocking wait."""
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("voluntary_ctxt_switches"))


def run(binary, *args, timeout=10):
    return subprocess.run([binary, *map(str, args)], capture_output=True, text=True, timeout=timeout)


@pytest.mark.parametrize(
    "args",
    [
        ["--bogus"],
        ["-x"],
        ["--address"],
        ["--address", "256"],
        ["--address", "-1"],
        ["--model", "44100"],
        ["--serial", "12345678"],
        ["--version", "65536"],
        ["--load", "0"],
        ["--load", "-3"],
        ["--load", "nan"],
        ["--drop-every", "0"],
        ["--late-every", "two"],
        ["--line-speed", "4800x"],
        ["--vanish-after", ""],
    ],
)
def test_invalid_options_are_refused_with_usage(sim_binary, args):
    result = run(sim_binary, *args)
    assert result.returncode != 0
    assert result.stdout == ""
    assert "usage: qm4410-sim" in result.stderr


def test_help_lists_every_option(sim_binary):
    result = run(sim_binary, "--help")
    assert result.returncode == 0
    assert [option for option in OPTIONS if option not in result.stdout] == []


@pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
def test_signals_end_it_cleanly(start_sim, tmp_path, number):
    link = tmp_path / "ttyQM"
    sim = start_sim("--link", link)
    assert os.readlink(link) == sim.port
    assert sim.stop(number) == 0
    assert not os.path.lexists(link)  # its pseudo-terminal's number may be another's already


def test_link_replaces_a_stale_link_but_not_a_file(sim_binary, start_sim, tmp_path):
    stale = tmp_path / "stale"
    stale.symlink_to("/nonexistent")
    sim = start_sim("--link", stale)
    assert os.readlink(stale) == sim.port

    occupied = tmp_path / "occupied"
    occupied.write_text("keep me")
    result = run(sim_binary, "--link", occupied)
    assert result.returncode != 0
    assert occupied.read_text() == "keep me"


def test_nobody_holds_the_port_until_a_client_opens_it(start_sim):
    sim = start_sim()
    assert lsof(sim.port) == ""
    with open_line(sim.port):
        assert str(os.getpid()) in lsof(sim.port)
    assert lsof(sim.port) == ""


# With a client it waits on the port alone, not even on a timer; with nobody
# there only the rechecks for the next client (50 a second) wake it. A
# spinning loop would wake it thousands of times.
@pytest.mark.parametrize("connected, most_wakeups", [(False, 60), (True, 2)])
def test_idle_costs_no_cpu(start_sim, connected, most_wakeups):
    sim = start_sim()
    with open_line(sim.port) if connected else open(os.devnull):
        time.sleep(0.2)
        cpu, woken = cpu_seconds(sim.process.pid), wakeups(sim.process.pid)
        time.sleep(1.0)
        assert wakeups(sim.process.pid) - woken <= most_wakeups
        assert cpu_seconds(sim.process.pid) - cpu <= 0.02


def test_serves_client_after_client(start_sim):
    sim = start_sim()
    for _ in range(4):
        with open_line(sim.port) as port:
            assert is_valid(transact(port, frame(0xFF, READ_IDENTITY)))


def test_verbose_log_decodes_requests_and_replies(start_sim):
    sim = start_sim("-v", "--corrupt-every", 2)
    with open_line(sim.port) as port:
        transact(port, request(SET_VOLTAGE, 5000, address=1))
        transact(port, frame(1, READ_STATUS))
    sim.stop()
    log = sim.log()
    assert "AA 01 23 88 13 00 00" in log and "set output voltage 5.000 V" in log
    assert "status: 0.000 V 0.000 A" in log and "[checksum corrupted]" in log


def test_the_log_is_read_whole_while_the_simulator_writes_it(start_sim):
    """Each read holds at least what the one before held, whenever the
    simulator's lines come: it shares the file's offset with this process."""
    sim = start_sim("-v")
    lengths = []
    with open_line(sim.port) as port:
        for _ in range(1000):
            port.write(frame(1, READ_STATUS))  # logged by the simulator as the log is read
            lengths.append(len(sim.log()))
            port.reset_input_buffer()
    assert lengths == sorted(lengths) and lengths[-1] > 0


CLIENT = """
import os, sys, serial
sys.path[:0] = [{tests!r}, {sim_tests!r}]
from fakes import frame, is_valid
from sim_wire import transact
with serial.Serial(os.environ["QM4410_PORT"], 4800, timeout=1) as port:
    ok = is_valid(transact(port, frame(0xFF, 0x31)))
sys.exit(int(sys.argv[1]) if ok else 99)
"""


@pytest.mark.parametrize("status", [0, 3])
def test_command_talks_to_the_port_and_its_status_is_returned(sim_binary, status):
    script = CLIENT.format(tests=os.path.dirname(os.path.dirname(__file__)), sim_tests=os.path.dirname(__file__))
    result = run(sim_binary, "--", sys.executable, "-c", script, status)
    assert result.returncode == status


@pytest.mark.parametrize(
    "command, status",
    [(["sh", "-c", "kill -9 $$"], 128 + 9), (["/nonexistent/command"], 127)],
)
def test_command_that_dies_or_cannot_start(sim_binary, command, status):
    assert run(sim_binary, "--", *command).returncode == status


def test_command_sees_the_printed_port(sim_binary, tmp_path):
    link = tmp_path / "ttyQM"
    result = run(sim_binary, "--link", link, "--", "sh", "-c", 'echo "$QM4410_PORT"; readlink "$0"', link)
    port, *rest = result.stdout.splitlines()
    assert rest == [port, port]
    assert not os.path.lexists(link)


@pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGHUP])
def test_signal_is_passed_on_to_the_command(sim_binary, tmp_path, number):
    link = tmp_path / "ttyQM"
    proc = subprocess.Popen([sim_binary, "--link", link, "--", "sleep", "30"], stdout=subprocess.PIPE, text=True)
    proc.stdout.readline()
    time.sleep(0.2)
    proc.send_signal(number)
    assert proc.wait(5) == 128 + number
    assert not os.path.lexists(link)
