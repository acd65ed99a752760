"""The supply as seen over the wire: identity, acknowledgements, the load
model in the status reply, addressing and factory reset."""

import pytest
from fakes import (
    READ_IDENTITY,
    READ_STATUS,
    RESTORE_FACTORY,
    SET_ADDRESS,
    SET_CURRENT,
    SET_MAX_VOLTAGE,
    SET_OUT_MODE,
    SET_VOLTAGE,
    SET_WORK_MODE,
    echo_of,
    frame,
    is_valid,
    request,
)
from sim_wire import open_line, status_of, transact


def configure(port, volts_mv, limit_ma, max_mv=30000, output=1, remote=1):
    for setting in (
        frame(1, SET_WORK_MODE, [remote]),
        request(SET_MAX_VOLTAGE, max_mv),
        request(SET_VOLTAGE, volts_mv),
        request(SET_CURRENT, limit_ma),
        frame(1, SET_OUT_MODE, [output]),
    ):
        assert transact(port, setting) == echo_of(setting)


def read_status(port, address=1):
    reply = transact(port, frame(address, READ_STATUS))
    assert is_valid(reply) and reply[2] == READ_STATUS
    return status_of(reply)


@pytest.mark.parametrize(
    "args, address, model, version, serial",
    [
        ([], 1, b"4410", 102, b"000000001"),
        (["--address", 7, "--model", "4411", "--version", 373, "--serial", "076787041"], 7, b"4411", 373, b"076787041"),
        (["--address", 0, "--version", 65535], 0, b"4410", 65535, b"000000001"),
    ],
)
def test_identity_reply(start_sim, args, address, model, version, serial):
    with open_line(start_sim(*args).port) as port:
        # A fresh driver asks with address 255: any address is answered.
        reply = transact(port, frame(0xFF, READ_IDENTITY))
    assert is_valid(reply)
    assert (reply[1], reply[2]) == (address, READ_IDENTITY)
    assert reply[3:7] == model
    assert int.from_bytes(reply[8:10], "little") == version
    assert reply[10:19] == serial


@pytest.mark.parametrize(
    "request_frame",
    [
        frame(1, SET_WORK_MODE, [1]),
        frame(1, SET_WORK_MODE, [0]),
        frame(1, SET_OUT_MODE, [1]),
        frame(1, SET_OUT_MODE, [0]),
        request(SET_MAX_VOLTAGE, 12000, address=1),
        request(SET_VOLTAGE, 1222, address=0x42),
        request(SET_CURRENT, 888, address=0xFF),
        frame(1, SET_ADDRESS, [6]),
        frame(9, RESTORE_FACTORY),
        frame(1, 0x12),  # a word the supply does not know is acknowledged too
    ],
    ids=lambda f: f[:4].hex(),
)
def test_setting_commands_are_echoed_with_zero_data(port, request_frame):
    assert transact(port, request_frame) == echo_of(request_frame)


@pytest.mark.parametrize(
    "load, volts_mv, limit_ma, max_mv, expected",
    [
        # Constant voltage: 5 V across 10 ohms draws 0.5 A, under the limit.
        (10, 5000, 1000, 30000, dict(voltage=5000, current=500, mode="CV", fan=0, hot=False)),
        # Constant current: 12 V would draw 1.2 A; held at 0.5 A, so 5 V.
        (10, 12000, 500, 30000, dict(voltage=5000, current=500, mode="CC", fan=0, hot=False)),
        # The maximum-voltage setting caps the output.
        (10, 20000, 2000, 8000, dict(voltage=8000, current=800, mode="CV", fan=0, hot=False)),
        # 10 V across 2 ohms: 50 W, fan step 5.
        (2, 10000, 10000, 30000, dict(voltage=10000, current=5000, mode="CV", fan=5, hot=False)),
        # 30 V across 10 ohms: 90 W, fan at full speed and over temperature.
        (10, 30000, 5000, 30000, dict(voltage=30000, current=3000, mode="CV", fan=7, hot=True)),
        # No load at all: full voltage, no current.
        ("inf", 5000, 1000, 30000, dict(voltage=5000, current=0, mode="CV", fan=0, hot=False)),
    ],
)
def test_status_follows_the_load(start_sim, load, volts_mv, limit_ma, max_mv, expected):
    with open_line(start_sim("--load", load).port) as port:
        configure(port, volts_mv, limit_ma, max_mv)
        status = read_status(port)
    assert {key: status[key] for key in expected} == expected
    assert status["on"] and status["remote"]
    assert (status["voltage_set"], status["current_set"], status["voltage_max"]) == (volts_mv, limit_ma, max_mv)


def test_output_off_gives_nothing(port):
    configure(port, 5000, 1000, output=0, remote=0)
    status = read_status(port)
    assert (status["voltage"], status["current"], status["on"], status["mode"]) == (0, 0, False, "XX")
    assert not status["remote"]
    assert status["voltage_set"] == 5000


def test_current_limit_saturates_at_the_status_field(port):
    configure(port, 5000, 70000)
    assert read_status(port)["current_set"] == 65535


def test_new_address_appears_in_later_replies(port):
    request = frame(1, SET_ADDRESS, [9])
    assert transact(port, request)[1] == 1  # the acknowledgement echoes the request
    assert transact(port, frame(1, READ_STATUS))[1] == 9
    assert transact(port, frame(0xFF, READ_IDENTITY))[1] == 9


def test_factory_reset_restores_start_up_settings(start_sim):
    with open_line(start_sim("--address", 3).port) as port:
        before = read_status(port, address=3)
        configure(port, 12000, 2500, max_mv=15000)
        transact(port, frame(3, SET_ADDRESS, [44]))
        assert transact(port, frame(44, RESTORE_FACTORY)) == echo_of(frame(44, RESTORE_FACTORY))
        after = read_status(port)
        identity = transact(port, frame(0xFF, READ_IDENTITY))
    assert after == before
    assert not after["on"] and not after["remote"]
    assert identity[1] == 3


def test_the_load_and_the_temperature_change_while_it_runs(start_sim, tmp_path):
    """Through --control: a load that steps, a short, a forced over-temperature;
    a command it does not know is told on standard error and changes nothing."""
    supply = start_sim("--control", tmp_path / "control")
    with open_line(supply.port) as port:
        configure(port, 5000, 1000)
        assert read_status(port)["current"] == 500  # 10 ohms by default
        steps = [
            ("load 2.5", {"current": 1000, "voltage": 2500, "mode": "CC"}),
            ("short", {"current": 1000, "voltage": 0, "mode": "CC"}),
            ("load inf", {"current": 0, "voltage": 5000, "mode": "CV"}),
            ("overtemp on", {"hot": True}),
            ("overheat now", {"hot": True}),
            ("overtemp off", {"hot": False}),
        ]
        for command, expected in steps:
            supply.control(command)
            status = read_status(port)
            assert {key: status[key] for key in expected} == expected, command
    supply.stop()
    assert (
        "--control: not a command (load OHMS, short, overtemp on|off, power on|off, unplug, plug): 'overheat now'"
        in supply.log()
    )
    assert not (tmp_path / "control").exists()


def test_a_strict_address_answers_its_own_and_the_broadcast(start_sim):
    with open_line(start_sim("--strict-address", "--address", 7).port) as port:
        assert transact(port, frame(3, READ_STATUS)) is None
        assert is_valid(transact(port, frame(0xFF, READ_IDENTITY)))
        assert transact(port, frame(7, SET_ADDRESS, [9])) == echo_of(frame(7, SET_ADDRESS, [9]))
        assert transact(port, frame(7, READ_STATUS)) is None  # it answers to 9 now
        assert read_status(port, address=9)["on"] is False
