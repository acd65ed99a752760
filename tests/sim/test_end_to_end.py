"""The driver against the virtual supply, through the real pyserial and the
real lsof: only the driver's public interface is used."""

import threading
import time

import pytest

import qm4410

LATE_BY_S = 0.5  # how late qm4410-sim's --late-every answers


@pytest.fixture
def connect(start_sim):
    """Starts a simulator with the given options and opens a driver on it."""
    drivers = []

    def connect(*args):
        sim = start_sim(*args)
        driver = qm4410.QM4410(sim.port)
        assert driver.open()
        drivers.append(driver)
        return sim, driver

    yield connect
    for driver in drivers:
        driver.close()


def readings(status):
    keys = ("voltage_real", "current_real", "out_mode", "out_status", "work_mode")
    return tuple(status[key] for key in keys)


@pytest.mark.parametrize(
    "limit, expected",
    [(1.0, (5.0, 0.5, "CV", "on", "remote")), (0.3, (3.0, 0.3, "CC", "on", "remote"))],
)
def test_user_journey(start_sim, limit, expected):
    sim = start_sim()
    driver = qm4410.QM4410(sim.port)
    assert driver.open()
    assert driver.show_device_version() == {"model": "4410", "SN": "000000001", "soft_version": 102}
    assert driver.set_work_mode("remote")
    assert driver.set_voltage_max(12.0)
    assert driver.set_out_voltage(5.0)
    assert driver.set_out_current(limit)
    assert driver.set_ouput_mode("on")
    status = driver.read_dev_status()
    assert readings(status) == expected
    assert (status["voltage_set"], status["current_set"], status["voltage_max_set"]) == (5.0, limit, 12.0)

    assert driver.set_ouput_mode("off")
    assert readings(driver.read_dev_status()) == (0.0, 0.0, "XX", "off", "remote")
    assert driver.set_work_mode("local")
    assert driver.read_dev_status()["work_mode"] == "local"
    assert driver.restore_factory()
    status = driver.read_dev_status()
    assert (status["voltage_set"], status["current_set"], status["voltage_max_set"]) == (0.0, 1.0, 30.0)
    driver.close()

    assert driver.open()
    assert driver.read_dev_status() is not None
    driver.close()


def test_second_open_while_connected_reports_busy(connect, capsys):
    sim, driver = connect()
    other = qm4410.QM4410(sim.port)
    assert other.open() is False
    assert driver.open() is False
    assert capsys.readouterr().out.count("serial port already opened!") == 2
    assert driver.read_dev_status() is not None


@pytest.mark.parametrize(
    "option, struck_result, settle",
    [
        ("--drop-every", False, 0.0),
        ("--corrupt-every", False, 0.0),
        ("--stray-every", False, 0.0),
        ("--split-every", True, 0.0),
        # The late reply lands after the driver gave up; the supply answers in
        # order, so the next command is sent once it has landed.
        ("--late-every", False, 0.3),
    ],
)
def test_fault_gives_its_result_and_the_next_command_its_own_reply(connect, option, struck_result, settle):
    # Request 1 is the identity read of open(); request 2 is struck.
    _, driver = connect(option, 2)
    asked = time.monotonic()
    result = driver.set_out_voltage(5.0)
    # A starved machine may stretch the driver's polls past the late reply's
    # delay: that reply then came in time, and was taken.
    if not (option == "--late-every" and time.monotonic() - asked >= LATE_BY_S):
        assert result is struck_result
    time.sleep(settle)
    status = driver.read_dev_status()
    # A stale acknowledgement taken for this reply would read all zeros.
    assert status is not None and status["voltage_set"] == 5.0


def test_unplugged_supply_raises_and_close_still_works(start_sim):
    sim = start_sim("--vanish-after", 2)
    driver = qm4410.QM4410(sim.port)
    assert driver.open()
    assert driver.read_dev_status() is not None
    with pytest.raises(OSError):  # serial.SerialException is one too
        driver.read_dev_status()
    driver.close()
    assert sim.process.wait(2) == 0


def test_several_supplies_on_several_threads(start_sim):
    sims = [start_sim("--address", n, "--load", 5 * n) for n in (1, 2, 3)]
    failures = []

    def drive(sim, number):
        driver = qm4410.QM4410(sim.port)
        if not driver.open():
            failures.append((number, "open"))
            return
        try:
            for step in range(5):
                volts = 1.0 + step
                driver.set_out_voltage(volts)
                driver.set_ouput_mode("on")
                status = driver.read_dev_status()
                expected = round(volts / (5 * number), 3)
                if status is None or status["current_real"] != expected:
                    failures.append((number, step, status))
        finally:
            driver.close()

    threads = [threading.Thread(target=drive, args=(sim, n)) for n, sim in zip((1, 2, 3), sims)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
    assert failures == []


def test_paced_line_still_answers_within_the_window(connect):
    _, driver = connect("--line-speed", 4800)
    assert driver.set_out_voltage(2.5)
    assert driver.set_ouput_mode("on")
    assert readings(driver.read_dev_status()) == (2.5, 0.25, "CV", "on", "local")
