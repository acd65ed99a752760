"""Set-points that survive a restart: the server keeps what its clients set
in a state file, and gives it back to the supply when the supply comes
back without it.

What counts as set is what the supply acknowledged, whoever sent it: every
set-point and switch of the output frame that reaches the supply passes
the held supply (RFC 2217 frames, SCPI commands, EPICS puts, the guard's
own), which tells of each; of a ramp, its target is kept, as the guard
tells it once the ramp is under way, and not its steps. A frame the supply
did not answer may or may not have been carried out: the next reading
tells. The state is written by a thread of its own, at most once a
second and promptly after the last change.

The supply comes back when the server starts, when its port is open again
after it went away, and when it answers again after it did not; and a
supply found with other set-points than the saved ones, which no client
changed, was power-cycled (or reset) meanwhile.
Then the saved set-points are sent again through the guard, so that its
limits and slew rates hold, and the output is switched on again only when
the server was told so (restore_output); each only while nothing else has
set the supply since the reading that called for it: a client's setting
that came meanwhile is newer than the saved one."""

import contextlib
import dataclasses
import logging
import threading
import time
from collections.abc import Callable, Iterable
from typing import Any

from ..supply import wire
from ..supply.errors import NoReply, OutOfRange, SupplyError
from ..supply.guard import Guard, Tripped
from ..supply.line import Priority
from ..supply.link import Link, status_of
from ..supply.setpoints import Quantity, to_units
from ..supply.status import Status
from .errors import SupplyGone
from .held_supply import Asker, HeldSupply
from .state_file import Saved, StateFile

log = logging.getLogger("qm4410.serve")

# The supply is read this often unless the guard or a client has read it
# meanwhile; a client's reading stands for the autosave's own once half of
# that has passed, so that one comes before the autosave would read.
READ_EVERY_S = 0.5
HEARD_EVERY_S = READ_EVERY_S / 2
WRITE_EVERY_S = 1.0
# Readings in a row that the supply did not answer, after which it counts
# as gone: one alone is a glitch of the line.
SILENT_AFTER = 2
# The saved field each request sets, and the quantity a guard's ramp moves.
FIELDS = {wire.SET_VOLTAGE: "voltage", wire.SET_CURRENT: "current", wire.SET_MAX_VOLTAGE: "max_voltage"}
RAMPED: dict[int, Quantity] = {wire.SET_VOLTAGE: "voltage", wire.SET_CURRENT: "current"}
ALL_FIELDS = frozenset({"voltage", "current", "max_voltage", "output"})
# How a saved set-point is sent at once: its request's word, and the command.
SENT_AT_ONCE: dict[str, tuple[int, Callable[[Link, int], bool]]] = {
    "voltage": (wire.SET_VOLTAGE, lambda link, units: link.set_voltage(units)),
    "current": (wire.SET_CURRENT, lambda link, units: link.set_current(units)),
    "max_voltage": (wire.SET_MAX_VOLTAGE, lambda link, units: link.set_max_voltage(units)),
}
AUTOSAVE = Asker("autosave", "the autosave")


def read_from(status: Status) -> dict[str, Any]:
    """A reading's set-points and output, as the state keeps them."""
    return {
        "voltage": to_units("voltage", status.voltage),
        "current": to_units("current", status.current_limit),
        "max_voltage": to_units("voltage", status.max_voltage),
        "output": status.output,
    }


class Autosave:
    """Keeps the set-points of `supply`, which `guard` guards, in `file`,
    and restores them; `restore_output` switches the output on again when
    it was meant to be on. start() before the clients are served, close()
    after they are gone (it writes what is not written yet)."""

    def __init__(self, supply: HeldSupply, guard: Guard, file: StateFile, *, restore_output: bool = False) -> None:
        self._supply = supply
        self._guard = guard
        self._file = file
        self._restore_output = restore_output
        self._lock = threading.Condition()
        self._saved: Saved | None = None
        self._changes = 0  # set-points taken since the start
        # Of those, the ones not sent by the autosave's own thread (whose
        # restores, a soft start's set-point among them, are heard there):
        # a restore sends nothing once one of these has come since its reading.
        self._taken_elsewhere = 0
        self._uncertain: set[str] = set()  # fields a frame may have changed unanswered: the next reading tells
        self._returning = True  # whether the next answered reading is the supply's first since it came back
        self._woken = False  # whether an answer to anyone has been heard since it was silent
        self._unanswered = 0  # readings in a row
        # The last reading heard from whoever read (see _heard_status), when,
        # and after how many set-points taken.
        self._heard: tuple[Status | None, float, int] | None = None
        self._read_at = 0.0
        self._dirty = False
        self._written_at = -WRITE_EVERY_S
        self._write_failure: str | None = None
        self._closing = False
        self._hearing = contextlib.ExitStack()
        self._watcher = threading.Thread(target=self._watch, name=f"qm4410 autosave of {supply.port}", daemon=True)
        self._threads = [
            self._watcher,
            threading.Thread(target=self._write, name=f"qm4410 autosave writer of {supply.port}", daemon=True),
        ]

    def start(self) -> None:
        """Read the saved state and start keeping it."""
        self._saved = self._file.read()
        if self._saved is None:
            log.info(
                "no saved state in %s yet: the supply's set-points are kept from its first reading", self._file.path
            )
        else:
            log.info("the saved state (%s) is in %s", self._saved.described(), self._file.path)
            if self._saved.rules and self._saved.rules != dataclasses.asdict(self._guard.rules):
                log.info("it was saved under other rules of the guard's than these: %s", dict(self._saved.rules))
        self._hearing.callback(self._supply.add_request_listener(self._heard_request))
        self._hearing.callback(self._guard.add_target_listener(self._heard_target))
        self._hearing.enter_context(self._supply.watching(self._lost))
        for thread in self._threads:
            thread.start()

    def close(self) -> None:
        """Stop keeping the state, once what is not written yet is."""
        self._hearing.close()
        with self._lock:
            self._closing = True
            self._lock.notify_all()
        for thread in self._threads:
            if thread.ident is not None:  # started
                thread.join()

    # What it hears, from the threads of the clients and of the guard.

    def _heard_request(self, request: bytes, reply: bytes | None) -> None:
        answered = reply is not None
        if answered and not self._woken and (self._returning or self._unanswered):
            with self._lock:
                # Its first answer since it came back, to whomever: read it now.
                self._woken = True
                self._read_at = -READ_EVERY_S
                self._lock.notify_all()
        word = wire.word_of(request)
        if word == wire.READ_STATUS and reply is not None:
            self._heard_status(reply)
            return
        if word in RAMPED and self._guard.ramping(RAMPED[word]):
            return  # a step of a ramp: its target is kept
        if word in FIELDS:
            field, value = FIELDS[word], wire.setpoint_of(request)
        elif word == wire.SET_OUTPUT:
            field, value = "output", request[wire.DATA_INDEX] != 0
        elif word == wire.RESTORE_FACTORY:
            # Where the factory settings are is for a reading to tell.
            if answered:
                self._doubt(ALL_FIELDS)
            return
        else:
            return
        if answered:
            self._take({field: value})
        else:
            self._doubt({field})

    def _heard_status(self, reply: bytes) -> None:
        """Whoever read the status (a client, the guard), its reading stands
        for the autosave's own when that is due: a supply that its clients
        read often is not read for the autosave as well, which would cost
        them the line. It is heard in its turn on the line, so the count of
        set-points taken before it is exact."""
        with self._lock:
            due = self._heard is None and time.monotonic() >= self._read_at + HEARD_EVERY_S
        if due:
            self._heard_reading(status_of(reply))

    def _heard_target(self, quantity: Quantity, units: int) -> None:
        self._take({quantity: units})

    def _heard_reading(self, status: Status | None) -> None:
        with self._lock:
            self._heard = (status, time.monotonic(), self._changes)
            self._lock.notify_all()

    def _lost(self, reason: str) -> None:
        self._come_back_again()

    def _doubt(self, fields: Iterable[str]) -> None:
        """The supply may or may not have changed `fields`: the next reading
        taken after this tells what it holds."""
        with self._lock:
            self._count_change()
            self._uncertain.update(fields)

    def _take(self, fields: dict[str, Any]) -> None:
        with self._lock:
            self._count_change()
            if self._saved is None:
                return  # kept from the first reading, which comes after this
            self._saved = dataclasses.replace(self._saved, **fields)
            self._uncertain -= fields.keys()
            self._dirty = True
            self._lock.notify_all()

    def _count_change(self) -> None:
        """One more set-point taken or doubted (under _lock)."""
        self._changes += 1
        if threading.current_thread() is not self._watcher:
            self._taken_elsewhere += 1

    # The readings, and what they call for.

    def _watch(self) -> None:
        while True:
            with self._lock:
                while not self._closing and self._heard is None and time.monotonic() < self._read_at + READ_EVERY_S:
                    self._lock.wait(self._read_at + READ_EVERY_S - time.monotonic())
                if self._closing:
                    return
                heard, self._heard = self._heard, None
                if heard is not None:
                    status, self._read_at, changes = heard
                else:
                    self._read_at, changes = time.monotonic(), self._changes
            try:
                if heard is None:
                    status = self._reading()
                self._judge(status, changes)
            except Exception:  # a fault here must not end the keeping
                log.exception("%s: the autosave failed to read or judge the supply", self._supply.port)

    def _reading(self) -> Status | None:
        try:
            reading = self._supply.status()
        except SupplyGone:
            return None
        return None if reading is None else reading.status

    def _judge(self, status: Status | None, changes: int) -> None:
        """What a reading, asked for after `changes` set-points were taken,
        calls for: nothing; keeping what it shows (a first reading with
        nothing saved, fields that an unanswered frame may have changed,
        another supply); or restoring the saved state. Every set-point taken
        before a reading is in the state by then (each is told in its turn
        on the line, before the reading's), so a reading that differs from
        it, with no ramp under way, found the supply changed by no client."""
        if status is None:
            with self._lock:
                self._unanswered += 1
                self._woken = False
                if self._unanswered >= SILENT_AFTER:
                    # Silent: it may come back from a power cycle.
                    self._returning = True
                    self._uncertain.clear()
            return
        found = read_from(status)
        identity = self._supply.identity()
        with self._lock:
            self._unanswered = 0
            if changes != self._changes:
                return  # a set-point was taken meanwhile: the next reading tells
            if self._guard.ramping("voltage") or self._guard.ramping("current"):
                return  # the set-points are on their way
            saved, returning = self._saved, self._returning
            if saved is None or (returning and saved.supply != (identity.model, identity.serial_number)):
                if saved is not None:
                    log.warning(
                        "the supply on %s is serial number %s, and the saved state was serial number %s's: its "
                        "set-points are not restored, and its own are kept from now on",
                        self._supply.port,
                        identity.serial_number,
                        saved.supply[1],
                    )
                self._saved = Saved(**found, supply=(identity.model, identity.serial_number))
                self._returning, self._dirty = False, True
                self._lock.notify_all()
                return
            if self._uncertain:
                self._saved = saved = dataclasses.replace(saved, **{field: found[field] for field in self._uncertain})
                self._uncertain.clear()
                self._changes += 1
                self._dirty = True
                self._lock.notify_all()
            if not returning and (found["voltage"], found["current"], found["max_voltage"]) == saved.setpoints():
                return
            self._returning = False
            elsewhere = self._taken_elsewhere
        self._restore(
            saved,
            status,
            elsewhere,
            "the supply is back"
            if returning
            else "the supply's set-points changed with no client asking (power-cycled, or set at its front panel?)",
        )

    def _restore(self, saved: Saved, status: Status, elsewhere: int, why: str) -> None:
        """Send the saved set-points that the supply does not hold, through
        the guard, and switch the output on again if it was on and the
        server was told so: each only while no set-point has been taken
        from elsewhere than the autosave since `status` was read (when
        `elsewhere` had been), else the rest is left to the next reading."""
        found = read_from(status)
        sending = [field for field in ("max_voltage", "current", "voltage") if found[field] != getattr(saved, field)]
        if sending:
            log.warning(
                "%s, and its set-points are not the saved ones (%s): restoring them through the guard",
                why,
                ", ".join(f"{field} {found[field]}, saved {getattr(saved, field)}" for field in sending),
            )
        for field in sending:
            try:
                sent = self._send(field, getattr(saved, field), elsewhere)
            except OutOfRange as refused:
                log.warning("the saved %s is not restored: %s; the supply's is kept", field, refused)
                with self._lock:
                    sent = self._taken_elsewhere == elsewhere
                    if sent:
                        self._take({field: found[field]})
            except (NoReply, SupplyError) as failure:
                log.warning("the saved %s could not be restored: %s", field, failure)
                self._come_back_again()
                return
            if not sent:
                log.info("a client set the supply before the saved %s was restored: the next reading tells", field)
                return
        if saved.output and not status.output:
            self._restore_the_output(elsewhere)

    def _send(self, field: str, units: int, elsewhere: int) -> bool:
        """Send the saved `field` through the guard, unless a set-point has
        been taken from elsewhere since `elsewhere` had been; whether it
        was sent. One sent at once is sent in the autosave's own turn on
        the line, and the count checked in that turn. One that a slew rate
        moves is handed to the guard as a ramp, the count checked just
        before: a setting that comes while the guard reads where the
        set-point stands is not seen."""
        quantity: Quantity = "current" if field == "current" else "voltage"
        self._guard.check_limit(quantity, units, maximum=field == "max_voltage")
        if self._guard.slew_rate(quantity) is not None:
            with self._lock:
                if self._taken_elsewhere != elsewhere:
                    return False
            if field == "max_voltage":
                self._guard.send_max_voltage(units)
            else:
                self._guard.send_units(quantity, units, wait=False)
            return True
        if field != "max_voltage":
            self._guard.halt(quantity, wait=True)  # a set-point sent at once replaces a ramp in progress
        word, command = SENT_AT_ONCE[field]
        sent = self._unless_taken(elsewhere, lambda link: command(link, units), word)
        if sent and field == "max_voltage":
            self._guard.note_max_voltage(units)  # the voltage's bound from now on
        return sent

    def _unless_taken(self, elsewhere: int, command: Callable[[Link], bool], word: int) -> bool:
        """`command`, in the autosave's turn on the line, unless a set-point
        has been taken from elsewhere since `elsewhere` had been; whether it
        was sent. NoReply when the supply did not answer it."""

        def in_turn(link: Link) -> bool:
            with self._lock:
                if self._taken_elsewhere != elsewhere:
                    return False
            if not command(link):
                raise NoReply(f"the supply on {self._supply.port} did not answer")
            return True

        return self._supply.run(in_turn, AUTOSAVE, word, Priority.SETPOINT)

    def _restore_the_output(self, elsewhere: int) -> None:
        if not self._restore_output:
            log.warning("the output was on, and is left off (--restore-output on switches it on again)")
            return
        try:
            # Not waiting for a soft start's ramp back up, which the guard's
            # thread carries out: closing the server would wait for it.
            with self._guard.switching_on():
                switched = self._unless_taken(elsewhere, lambda link: link.set_output(True), wire.SET_OUTPUT)
        except Tripped as refused:
            log.warning("the output was on, and is left off: %s", refused)
        except (NoReply, SupplyError) as failure:
            log.warning("the output could not be switched on again: %s", failure)
            self._come_back_again()
        else:
            if switched:
                log.warning("the output is switched on again, as it was (--restore-output on)")
            else:
                log.info("a client set the supply before the output was switched on again: the next reading tells")

    def _come_back_again(self) -> None:
        """The supply is to come back (again): its next answer is read and
        the saved state restored."""
        with self._lock:
            self._returning, self._woken = True, False

    # The state file.

    def _write(self) -> None:
        while True:
            with self._lock:
                while not self._dirty and not self._closing:
                    self._lock.wait()
                if not self._dirty:
                    return
                due = self._written_at + WRITE_EVERY_S
                if not self._closing and time.monotonic() < due:
                    self._lock.wait(due - time.monotonic())
                    continue
                self._dirty = False
                saved = self._saved
                self._written_at = time.monotonic()
            if saved is None:
                continue
            rules = dataclasses.asdict(self._guard.rules)
            slew = {quantity: self._guard.slew_rate(quantity) for quantity in ("voltage", "current")}
            try:
                self._file.write(dataclasses.replace(saved, rules=rules, slew=slew))
            except OSError as error:
                with self._lock:
                    self._dirty = True
                    failure, self._write_failure = self._write_failure, str(error)
                if failure != str(error):
                    log.error("the state cannot be saved in %s: %s", self._file.path, error)
                if self._closing:
                    return
            else:
                if self._write_failure is not None:
                    log.info("the state is saved in %s again", self._file.path)
                    self._write_failure = None
