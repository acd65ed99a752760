"""The guard: rules that protect what the supply feeds, kept for every
client that goes through it (a script, every client of `qm4410 serve`).

- Limits: no voltage (or maximum voltage) above `limit_voltage`, no current
  limit above `limit_current` (0 holds it at 0), and no factory reset while
  either is set (the factory settings may lie beyond them). Nor a voltage
  above the supply's maximum voltage, as the guard last read or set it (see
  bound()).
- Slew limits: a change of the voltage (current limit) set-point larger
  than `slew_voltage` V/s (`slew_current` A/s) allows is carried out as a
  ramp (see slew.py): the set-point never runs ahead of the straight line
  at the rate, moving in steps of a fifth of the rate (at least 1 mV or
  1 mA). A later set-point replaces a ramp in progress, from where it stands
  (one sent at once, with no rate in force, stops it there); `halt()` stops
  one there too. The maximum voltage caps the output: a raise of it that
  would let the output rise is carried out at the voltage slew rate too
  (see send_max_voltage).
- Trips: a measured current above `trip_current` A, a measured power above
  `trip_power` W, constant-current regulation for `trip_cc_after` s, and
  with `trip_overtemp` the supply's over-temperature flag. A trip switches
  the output off and confirms it off in the status (again at every reading
  until it reads off), is latched and named, and every request to switch
  the output on is refused (Tripped) until `clear()`. A switch-on under
  way when a trip fires is sent before the trip's switch-off, never after.
- A watchdog: with the output on and no request for `watchdog` s, the
  output is switched off, and the trip is named "watchdog".
- Soft start: with `soft_start` (which needs `slew_voltage`, the rate it
  ramps at), switching the output on from off at a voltage set-point above
  0 is carried out as set-point 0, output on, then a ramp at the slew rate
  back to that set-point (or to where a ramp in progress was going), rather
  than as a step from 0 V.
- A supply that stops answering the guard (three readings, or three steps
  of a ramp, in a row) trips it too ("no_reply"): what cannot be watched is
  switched off, as far as it still can be.

The guard watches the supply by reading its status every `interval`
seconds (0.1 by default) while any trip or the watchdog is set (or a
listener asks for its readings), so a trip acts within one interval and one
exchange (on a line whose exchange takes longer than the interval, the
readings follow one another: two exchanges). Its own work (readings, ramp
steps, switching off) runs on one thread of its own; requests come from any
thread."""

from .engine import (
    NOT_STARTED,
    SLEW_STEPS_PER_S,
    STOP_CHECK_S,
    UNANSWERED_IN_A_ROW,
    WATCH_INTERVAL_S,
    Clock,
    Engine,
    Listener,
    MonotonicClock,
    SwitchOn,
    TargetListener,
)
from .face import Guard, GuardedLink
from .rules import TRIP_NAMES, Rules, Trip, Tripped, trip_of

__all__ = [
    "NOT_STARTED",
    "SLEW_STEPS_PER_S",
    "STOP_CHECK_S",
    "TRIP_NAMES",
    "UNANSWERED_IN_A_ROW",
    "WATCH_INTERVAL_S",
    "Clock",
    "Engine",
    "Guard",
    "GuardedLink",
    "Listener",
    "MonotonicClock",
    "Rules",
    "SwitchOn",
    "TargetListener",
    "Trip",
    "Tripped",
    "trip_of",
]
