"""The targets, and whether a set of results meets them."""

READ_STATUS_SPEEDUP = 5.0
EVERY_COMMAND_SPEEDUP = 3.0
PAUSE_OVERHEAD_PCT = 1.0
THREAD_SCALING = 0.9
LOOK_PCT = 1.0  # the look before each write, against a command's latency


def speedup_target(command: str) -> float:
    return READ_STATUS_SPEEDUP if command == "read_dev_status" else EVERY_COMMAND_SPEEDUP


def judge(results: dict) -> dict:
    """One verdict per target: True when met."""
    cost, pause, threads, slow = (results[k] for k in ("driver_cost", "against_pause", "threads", "slow_line"))
    return {
        "speedup": {r["command"]: r["speedup"] >= speedup_target(r["command"]) for r in cost},
        "pause_overhead": {r["command"]: r["overhead_pct"] < PAUSE_OVERHEAD_PCT for r in pause},
        # Per command the CPU times differ by less than their noise, so the
        # drivers are compared over all commands together.
        "cpu_not_above_plain": sum(r["qm4410_cpu_us"] for r in pause) <= sum(r["plain_cpu_us"] for r in pause),
        "thread_scaling": {str(r["supplies"]): r["commands_per_s"] >= r["target_per_s"] for r in threads},
        "slow_line": {r["command"]: r["median_ms"] <= slow["wire_ms"] + slow["poll_ms"] for r in slow["rows"]},
        "look_before_writing": results["line_sync"]["healthy"]["look_pct"] < LOOK_PCT,
    }
