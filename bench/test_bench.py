"""Checks that the benchmark compares like with like: the plain-Python driver
does what the extension does, and the canned replies are ones a driver takes.
Nothing here is timed."""

import contextlib
import io
import time
import types

import autosave
import driver_cost
import latency
import plain_driver
import pytest
import rack
import verdicts
from commands import COMMANDS, DEVICE_COMMANDS, FRAME_LENGTH, START_BYTE, STATUS_REPLY

import qm4410


def recording_port(reply):
    sent = []
    port = types.SimpleNamespace(write=sent.append, inWaiting=lambda: FRAME_LENGTH, read={FRAME_LENGTH: reply}.get)
    return port, sent


def run_on(module, command):
    """What one command does on a fresh driver: bytes sent, result, printed
    text and the identity it leaves."""
    driver = module.QM4410("/dev/null")
    port, sent = recording_port(command.reply)
    driver.ser = port
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        result = command.bound_to(driver)()
    return sent, result, printed.getvalue(), driver.show_device_version()


@pytest.mark.parametrize("command", DEVICE_COMMANDS, ids=lambda c: c.name)
def test_canned_reply_is_a_well_formed_frame(command):
    reply = command.reply
    assert len(reply) == FRAME_LENGTH and reply[0] == START_BYTE
    assert reply[-1] == sum(reply[:-1]) & 0xFF


@pytest.mark.parametrize("command", COMMANDS, ids=lambda c: c.name)
def test_plain_driver_does_what_the_extension_does(command):
    with driver_cost.instant_clocks():
        assert run_on(plain_driver, command) == run_on(qm4410, command)


@pytest.mark.parametrize("command", DEVICE_COMMANDS, ids=lambda c: c.name)
def test_canned_reply_takes_the_successful_path(command):
    with driver_cost.instant_clocks():
        sent, result, _, identity = run_on(qm4410, command)
    assert len(sent) == 1
    if command.name == "_QM4410__read_device_version":
        assert identity == {"model": "4410", "SN": "076787041", "soft_version": 373}
    else:
        assert result not in (False, None)


def test_instant_clocks_are_put_back():
    with driver_cost.instant_clocks():
        assert qm4410.time is not time and plain_driver.time is not time
    assert qm4410.time is time and plain_driver.time is time


def test_wire_time_of_a_request_and_its_reply_at_4800_baud():
    assert latency.wire_time(4800) == pytest.approx(0.108333, abs=1e-6)


def results_with(speedups, overhead_pct=0.5, cpu=(100, 110), rates=(100, 390), slow_ms=115.0, look_pct=0.5):
    return {
        "driver_cost": [{"command": name, "speedup": value} for name, value in speedups.items()],
        "against_pause": [
            {
                "command": "read_dev_status",
                "overhead_pct": overhead_pct,
                "qm4410_cpu_us": cpu[0],
                "plain_cpu_us": cpu[1],
            }
        ],
        "threads": [
            {"supplies": n, "commands_per_s": rate, "target_per_s": 0.9 * n * rates[0]}
            for n, rate in zip((1, 4), rates)
        ],
        "slow_line": {
            "wire_ms": 108.3,
            "poll_ms": 10.0,
            "rows": [{"command": "read_dev_status", "median_ms": slow_ms}],
        },
        "line_sync": {"healthy": {"look_pct": look_pct}},
    }


def test_read_dev_status_is_held_to_the_higher_speedup():
    judged = verdicts.judge(results_with({"read_dev_status": 4.9, "set_work_mode": 3.1}))
    assert judged["speedup"] == {"read_dev_status": False, "set_work_mode": True}


@pytest.mark.parametrize(
    "change, key",
    [
        ({"overhead_pct": 1.0}, "pause_overhead"),
        ({"cpu": (111, 110)}, "cpu_not_above_plain"),
        ({"rates": (100, 359)}, "thread_scaling"),
        ({"slow_ms": 118.4}, "slow_line"),
        ({"look_pct": 1.0}, "look_before_writing"),
    ],
)
def test_each_target_fails_just_past_its_limit(change, key):
    assert all_met(verdicts.judge(results_with({"read_dev_status": 5.0}, **change))[key]) is False


def test_results_inside_every_limit_meet_every_target():
    judged = verdicts.judge(results_with({"read_dev_status": 5.0, "set_work_mode": 3.0}))
    assert all(all_met(met) for met in judged.values())


def all_met(verdict) -> bool:
    return all(verdict.values()) if isinstance(verdict, dict) else verdict


def contenders_answering(fails: str | None) -> dict:
    """Stand-ins for the drivers and the bare exchange, each answering every
    command as a real one does, except `fails`, whose commands get no reply."""

    def driver(name):
        replies = {c.name: None if name == fails else (c.reply or True) for c in DEVICE_COMMANDS}
        return types.SimpleNamespace(**{command: (lambda *args, r=r: r) for command, r in replies.items()})

    contenders = {name: driver(name) for name in ("qm4410", "plain")}
    contenders["bare"] = lambda: b"" if fails == "bare" else STATUS_REPLY
    return contenders


def test_answered_commands_are_timed_and_counted_as_answered():
    rows = latency.against_pause(contenders_answering(None), rounds=1)
    assert [r["command"] for r in rows] == [c.name for c in DEVICE_COMMANDS]
    assert all(r[f"{name}_unanswered"] == 0 for r in rows for name in ("qm4410", "plain", "bare"))


@pytest.mark.parametrize("fails", ["qm4410", "plain", "bare"])
def test_a_latency_of_an_unanswered_command_is_refused(fails):
    with pytest.raises(RuntimeError, match=f"{fails}_unanswered=1"):
        latency.against_pause(contenders_answering(fails), rounds=1)


@pytest.mark.parametrize("result, counted", [(None, 1), (False, 1), ({"out_status": "on"}, 0)])
def test_timings_count_what_went_unanswered(result, counted):
    status = next(c for c in DEVICE_COMMANDS if c.name == "read_dev_status")
    timings = latency.Timings(latency.command_answered(status))
    timings.time(lambda: result)
    assert (timings.unanswered, len(timings.wall)) == (counted, 1)


def test_a_short_rack_run_counts_the_readings_and_the_servers_own_cpu_and_memory():
    """The rack benchmark end to end, small: what it reports comes from
    readings that arrived and from the server process itself."""
    pytest.importorskip("caproto", reason="the epics extra is not installed: pip install 'qm4410[epics]'")
    results = rack.measure(supplies=2, readings=40)
    last = results["samples"][-1]
    assert last["readings"] >= 40 and last["rss_kib"] > 0
    assert 0 <= results["cpu_cores"] == last["cpu_s"] / last["seconds"]
    assert set(rack.judge(results)) == {"every_supply_read_10_a_second", "cpu_under_a_quarter_core", "memory_flat"}


def test_a_short_autosave_run_restores_every_set_point_and_switches_nothing_on_unasked():
    """The autosave benchmark end to end, small: the supply vanished and
    came back, and what it reports comes from the supply's own log."""
    results = autosave.measure(cycles=3)
    assert results["cycles"] == 3 and results["lost"] == [] and results["unasked_switch_ons"] == 0
    assert sum(spread["count"] for spread in results["back_after"].values()) == 3
    assert set(autosave.judge(results)) == {
        "no_set_point_lost",
        "no_unasked_switch_on",
        "restoring_within_a_second_of_the_first_answer",
    }
