"""Set-points that survive: the state file written whole with its backups,
a damaged one passed over for the newest good backup; and qm4410 serve
giving a supply its set-points back when it comes back from a power cycle,
from being unplugged, or under a restarted server, the output switched on
again only when that was asked for."""

import contextlib
import json
import logging
import re
import threading
import time
import types

import pytest
from fakes import READ_STATUS, SET_VOLTAGE, echo_of, frame, request
from serving import WITHIN_S, Server, scpi_client, until

import qm4410
from qm4410.server.autosave import Autosave
from qm4410.server.guarding import guard_over
from qm4410.server.state_file import Saved, StateFile
from qm4410.supply.guard import Rules
from qm4410.supply.line import Priority
from qm4410.supply.link import status_of


def kept(volts: int) -> Saved:
    return Saved(voltage=volts, current=500, max_voltage=12000, output=True, supply=("4410", "000000001"))


@pytest.mark.parametrize("damage", ["cut short", "changed"])
def test_a_state_file_keeps_three_backups_and_a_damaged_one_falls_back_to_the_newest_good(tmp_path, caplog, damage):
    file = StateFile(tmp_path / "psu.json")
    for volts in (1000, 2000, 3000, 4000, 5000):
        file.write(kept(volts))
    assert sorted(path.name for path in tmp_path.iterdir()) == ["psu.json", "psu.json.1", "psu.json.2", "psu.json.3"]
    assert [StateFile(path).read().voltage for path in (file.path, *map(file.backup, (1, 2, 3)))] == [
        5000,
        4000,
        3000,
        2000,
    ]
    text = file.path.read_text()
    file.path.write_text(text[: len(text) // 2] if damage == "cut short" else text.replace("5000", "6000"))
    with caplog.at_level(logging.WARNING, logger="qm4410.serve"):
        assert file.read() == kept(4000)
    assert f"the saved state is taken from {file.backup(1)}: {file.path}: " in caplog.text


def saved_state(path):
    try:
        return json.loads(path.read_text())["state"]
    except (OSError, ValueError):
        return None


@pytest.mark.parametrize(
    "way, restore_output, output",
    [
        ("power-cycled", "off", "0"),
        ("power-cycled", "on", "1"),
        ("unplugged", "off", "1"),
        ("restarted", "off", "0"),
        ("lowered", "off", "1"),
    ],
)
def test_the_set_points_come_back_with_the_supply(qm4410_sim, visa, tmp_path, way, restore_output, output):
    """A client sets the supply up, its output on. Power-cycled, the supply
    comes back at its factory settings, and gets the saved ones back (its
    output on again only with --restore-output on); unplugged, it keeps its
    own, which are left alone; power-cycled while the server is stopped, it
    gets them back from the file once the server is started again; and so
    does one whose maximum voltage was lowered below the saved voltage
    meanwhile, which bounds neither the saved maximum nor, once that is
    back, the voltage."""
    link, control, state = tmp_path / "ttyQM", tmp_path / "control", tmp_path / "state.json"
    supply = qm4410_sim.start("--link", str(link), "--control", str(control), "--load", "inf")
    options = ["--port", link, "--reconnect", "--state", state, "--restore-output", restore_output]
    server = Server([*options, "--slew-voltage", "5"], tmp_path / "serve.log")
    client = scpi_client(visa, server)
    try:
        client.write("VOLT:PROT 12;CURR 0.5;VOLT 5;OUTP ON")
        # Of a ramp, the target is kept, as soon as it is under way; not its steps.
        assert until(lambda: (saved_state(state) or {}).get("voltage")) == 5000
        until(lambda: client.query("VOLT?") == "5.000")
        until(lambda: (saved_state(state) or {}).get("output"))
        restarting = way in ("restarted", "lowered")
        if restarting:
            client.close()
            server.stop()
            log = server.log()
        if way == "lowered":  # as at its front panel
            with qm4410.Supply(str(link)) as direct:
                direct.max_voltage = 3.0
        else:
            supply.control("power off" if way != "unplugged" else "unplug")
            time.sleep(0.5)
            supply.control("power on" if way != "unplugged" else "plug")
        if restarting:
            server = Server([*options, "--slew-voltage", "50"], tmp_path / "serve.log")
            client = scpi_client(visa, server)
        until(lambda: client.query("VOLT?;CURR?;VOLT:PROT?") == "5.000;0.500;12.000")
        until(lambda: client.query("OUTP?") == output)
        assert client.query("MEAS:VOLT?") == ("5.000" if output == "1" else "0.000")
    finally:
        client.close()
        server.stop()
    log = log + server.log() if restarting else server.log()
    restored = re.search(r"its set-points are not the saved ones .*: restoring them through the guard", log)
    assert bool(restored) is (way != "unplugged"), log
    assert ("the output was on, and is left off (--restore-output on switches it on again)" in log) is (
        output == "0"
    ), log
    assert "Traceback" not in log


class HeldSupplyFake:
    """The held supply as the autosave and the guard use it, over a supply
    whose voltage set-point is `volts` (mV), each exchange told to the
    request listeners in its turn; `sent` holds every voltage set-point
    sent, `clients_sent` those a client sent. A client's setting is forced
    into the gaps between turns: `before_next_turn` runs before the next
    turn that is run, `after_next_reading` after the guard's next reading,
    once each."""

    port = "fake"

    def __init__(self, volts):
        self.volts, self.output = volts, False
        self.sent, self.clients_sent = [], []
        self.before_next_turn = self.after_next_reading = None
        self._listeners = []
        self._own_readings = 0
        self._read = threading.Condition()

    def add_request_listener(self, listener):
        self._listeners.append(listener)
        return lambda: self._listeners.remove(listener)

    def watching(self, tell):
        return contextlib.nullcontext()

    def identity(self):
        return types.SimpleNamespace(model="4410", serial_number="000000001")

    def status(self, priority=Priority.READING, by=None, max_age=None, newer_than=None):
        # Its set-points at 0.5 A and 12 V maximum, under remote control.
        setpoints = (500).to_bytes(2, "little") + (12000).to_bytes(4, "little") + self.volts.to_bytes(4, "little")
        reply = frame(1, READ_STATUS, bytes(6) + bytes([0x80 | self.output]) + setpoints)
        self._tell(request(READ_STATUS, address=1), reply)
        if priority == Priority.READING:  # the autosave's own
            with self._read:
                self._own_readings += 1
                self._read.notify_all()
        else:
            self._then("after_next_reading")
        return types.SimpleNamespace(status=status_of(reply))

    def run(self, action, asker=None, word=None, priority=None, by=None):
        self._then("before_next_turn")
        return action(self)

    def set_voltage(self, units):
        self.volts = units
        self.sent.append(units)
        self._tell(request(SET_VOLTAGE, units, address=1))
        return True

    def set_output(self, on):
        self.output = on
        return True

    def a_client_sets(self, units):
        """A client's setting, in its turn, from its own thread."""

        def setting():
            self.clients_sent.append(units)
            self.set_voltage(units)

        client = threading.Thread(target=setting)
        client.start()
        client.join()

    def wait_for_own_readings(self, count):
        with self._read:
            assert self._read.wait_for(lambda: self._own_readings >= count, timeout=WITHIN_S)

    def _tell(self, request_frame, reply=None):
        for listener in list(self._listeners):
            listener(request_frame, echo_of(request_frame) if reply is None else reply)

    def _then(self, gap):
        setting, _ = getattr(self, gap), setattr(self, gap, None)
        if setting is not None:
            setting()


@pytest.mark.parametrize("gap", ["after the guard's reading", "before the restore's set-point"])
def test_a_restore_never_undoes_a_setting_that_came_after_the_reading_it_judged(tmp_path, gap):
    """The guard reads 1 V, and a client's 2 V comes before the guard hears
    its reading: that reading is not taken for a change that no client
    asked for; or a supply found power-cycled is to get its saved 2 V back,
    and a client's 3 V comes first. Either way the supply is sent only what
    the client set."""
    guard_reads = gap == "after the guard's reading"
    supply = HeldSupplyFake(volts=1000 if guard_reads else 0)
    file = StateFile(tmp_path / "state.json")
    file.write(
        Saved(
            voltage=1000 if guard_reads else 2000,
            current=500,
            max_voltage=12000,
            output=False,
            supply=("4410", "000000001"),
        )
    )
    if guard_reads:
        supply.after_next_reading = lambda: supply.a_client_sets(2000)
    else:
        supply.before_next_turn = lambda: supply.a_client_sets(3000)
    guard = guard_over(supply)
    autosave = Autosave(supply, guard, file)
    autosave.start()
    try:
        supply.wait_for_own_readings(2)  # the first judged
        guard.status()
        supply.wait_for_own_readings(3)  # and whatever the guard's reading called for done
    finally:
        autosave.close()
    assert supply.sent == supply.clients_sent


def test_an_output_switched_on_again_with_soft_start_leaves_the_ramp_back_up_to_the_guard(tmp_path):
    """A supply found power-cycled with its output off has it switched on
    again, with soft start at a rate that takes minutes to ramp back up:
    the autosave goes on at once (and so can be closed), the ramp going on
    in the guard's thread."""
    supply = HeldSupplyFake(volts=1000)
    file = StateFile(tmp_path / "state.json")
    file.write(Saved(voltage=1000, current=500, max_voltage=12000, output=True, supply=("4410", "000000001")))
    guard = guard_over(supply, Rules(slew_voltage=0.001, soft_start=True)).start()
    autosave = Autosave(supply, guard, file, restore_output=True)
    autosave.start()
    try:
        supply.wait_for_own_readings(2)
        assert supply.output and guard.ramping("voltage")
    finally:
        guard.close()  # first: waiting for its ramp, the autosave would wait for ever
        autosave.close()
