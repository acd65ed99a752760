"""The driver on a virtual supply shared over the network: ser2net in RFC 2217
mode in front of qm4410-sim, reached through an rfc2217:// URL."""

import subprocess
import sys
import time

import pytest
import serial
from ser2net_process import Ser2net

import qm4410

pytestmark = pytest.mark.filterwarnings("ignore:set(Daemon|Name)\\(\\) is deprecated:DeprecationWarning:serial.rfc2217")

BUSY = "serial port already opened!, Please close and try" + " " * 23 + "again!"
LINE_LOST, REMOTE_BUSY = 11, 19
COMMAND = [sys.executable, "-c", "import sys; from qm4410.cli import main; sys.exit(main())"]


@pytest.fixture
def remote(start_sim, tmp_path):
    """A virtual supply behind ser2net: (its pseudo-terminal, the ser2net)."""
    sim = start_sim()
    server = Ser2net(sim.port, tmp_path)
    yield sim.port, server
    server.stop()


@pytest.fixture
def connected(remote, capsys):
    """A driver that opened the remote supply, closed afterwards."""
    device, server = remote
    driver = qm4410.QM4410(server.url())
    assert driver.check_port_available() is True
    assert driver.open() is True
    assert capsys.readouterr().out == ""
    yield device, server, driver
    driver.close()


def test_every_command_through_ser2net(connected):
    _, _, driver = connected
    assert driver.show_device_version() == {"model": "4410", "SN": "000000001", "soft_version": 102}
    assert driver.set_work_mode("remote")
    assert driver.set_voltage_max(12.0)
    assert driver.set_out_voltage(5.0)
    assert driver.set_out_current(0.3)
    assert driver.set_ouput_mode("on")
    status = driver.read_dev_status()
    assert (status["voltage_real"], status["current_real"], status["out_mode"]) == (3.0, 0.3, "CC")
    assert driver.set_new_addr(1)
    assert driver.restore_factory()
    assert driver.read_dev_status()["voltage_max_set"] == 30.0
    assert driver.set_work_mode("local")


# pyserial's reader thread dies of the hang-up, answering ser2net's greeting.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
def test_while_one_client_holds_the_supply_nobody_else_gets_it(connected, capsys):
    device, server, driver = connected
    second = qm4410.QM4410(server.url())
    assert second.open() is False
    # pyserial raises a broken pipe or a reset connection when ser2net hangs
    # up on it, or gives up on the negotiation that never comes.
    printed = capsys.readouterr().out.splitlines()
    assert len(printed) == 1 and printed[0].startswith(("Cannot open serial port", "unexpected ")), printed
    assert not hasattr(second, "ser")
    # Locally the device is held, by ser2net.
    assert qm4410.QM4410(device).open() is False
    assert capsys.readouterr().out == BUSY + "\n"
    assert driver.read_dev_status() is not None


def test_lost_connection_ends_in_a_serial_error_and_close_still_works(connected):
    _, server, driver = connected
    assert driver.read_dev_status() is not None
    server.stop()
    # The first exchange may go unanswered; by the next, pyserial knows that
    # the connection is gone.
    outcomes = []
    for _ in range(3):
        try:
            outcomes.append(driver.read_dev_status())
        except serial.SerialException:
            outcomes.append("lost")
            break
    assert outcomes[-1] == "lost" and set(outcomes[:-1]) <= {None}, outcomes
    assert driver.close() is None


def test_the_command_tells_of_a_remote_end_that_serves_another_client(connected):
    _, server, _ = connected
    result = subprocess.run([*COMMAND, "info", "--port", server.url()], capture_output=True, text=True, timeout=60)
    assert result.returncode == REMOTE_BUSY, result.stderr
    assert "hung up on this client: it serves another one already" in result.stderr
    assert "Traceback" not in result.stderr and result.stdout == ""


def test_the_command_tells_of_a_connection_lost_mid_run(remote, tmp_path):
    _, server = remote
    samples = tmp_path / "samples.jsonl"
    monitor = subprocess.Popen(
        [*COMMAND, "monitor", "--port", server.url(), "--interval", "0.05", "--jsonl", str(samples)],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    )
    deadline = time.monotonic() + 20
    while not (samples.exists() and samples.read_text()):
        assert time.monotonic() < deadline and monitor.poll() is None, "no sample came"
        time.sleep(0.05)
    server.stop()
    _, said = monitor.communicate(timeout=30)
    assert monitor.returncode == LINE_LOST, said
    assert f"qm4410: error: lost the connection to {server.url()}: " in said and "Traceback" not in said
