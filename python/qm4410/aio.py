"""The supply for asyncio: every command and operation of the supply core
awaited, while the exchanges themselves run on a thread of the supply's own.

    async with AsyncQM4410('/dev/ttyUSB0') as supply:
        await supply.set_voltage(5.0)
        print(await supply.status())

One worker thread a supply takes the calls first in, first out: calls from
many tasks reach the supply in the order they were made, and never two at
once; the event loop never waits on the line (nor uses `add_reader`, so
any loop does, on any system).

A task cancelled while it awaits a call: a call not yet started is never
sent; one started (an exchange on the line) runs to its end, the supply
keeps what it was sent, and the task sees CancelledError once it is over. A
set-point ramping through a guard's slew rate (or back up after a soft
start) stops where it stands, its last step kept; a workflow (`ramp`, `sweep`) stops between two exchanges,
leaving the output as its options say. A supply that stops answering
raises the core's NoReply (or PortGone), never an old value."""

import asyncio
import concurrent.futures
import functools
import threading
import warnings
import weakref
from collections.abc import AsyncIterator, Callable
from types import TracebackType
from typing import Any, Self, TypeVar

from . import workflows
from .supply import setpoints
from .supply.errors import SupplyError
from .supply.face import Supply
from .supply.guard import Guard, Rules
from .supply.owned import Owned
from .supply.setpoints import Quantity
from .supply.slew import Ramp
from .supply.status import Identity, Status
from .supply.supply_like import SupplyLike
from .workflows import Outcome, Progress, Row
from .workflows.sweep import SetPoint, plan_sweep

Result = TypeVar("Result")


class AsyncQM4410:
    """The supply on `port` (a device, or a URL such as
    'rfc2217://labpi:4410'), opened by `open()` or `async with` (Refused,
    with its kind, when it cannot be), closed by `close()` or at the end of
    the block; closing does not switch the output off.

    With `guard` (qm4410.Rules), set-points go through a qm4410.Guard kept
    on the supply while it is open: its limits, its slew rates (a set-point
    ramps, and its await ends when it has arrived), its trips and its
    watchdog."""

    def __init__(self, port: str, *, guard: Rules | None = None) -> None:
        self._take(Supply(port), guard)

    @classmethod
    def virtual(cls, *arguments: str, guard: Rules | None = None, **options: object) -> "AsyncQM4410":
        """A supply on a virtual supply (qm4410-sim) of its own, started when
        it is opened and ended when it is closed; qm4410-sim's options as
        `qm4410.Supply.virtual` takes them: `AsyncQM4410.virtual(load=8)`."""
        return cls.from_supply(Supply.virtual(*arguments, **options), guard=guard)

    @classmethod
    def from_supply(cls, supply: Supply, *, guard: Rules | Guard | None = None) -> "AsyncQM4410":
        """The awaited face of a qm4410.Supply made elsewhere, open or not,
        and of a qm4410.Guard made on it (or Rules, for a guard of its own).
        Opening opens the supply if it is closed, and starts the guard;
        closing closes what opening opened, and a guard of its own."""
        face = cls.__new__(cls)
        face._take(supply, guard)
        return face

    def _take(self, supply: Supply, guard: Rules | Guard | None) -> None:
        # What closing closes: what opening opened, and a guard of its own.
        self._owned = Owned(supply, guard)
        self.supply = supply
        self.guard = self._owned.guard
        self._identity: Identity | None = None
        self._worker: concurrent.futures.ThreadPoolExecutor | None = None
        self._abandon: weakref.finalize[Any, Any] | None = None

    @property
    def port(self) -> str:
        return self.supply.port

    def __repr__(self) -> str:
        return f"<qm4410.aio.AsyncQM4410 {self.port} {'open' if self._worker is not None else 'closed'}>"

    # Opening and closing.

    async def open(self) -> Self:
        """Open the port (or start the virtual supply) and read the supply's
        identity; Refused when that fails. Opening an open supply does
        nothing."""
        if self._worker is not None:
            return self
        worker = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix=f"qm4410 {self.port}")
        self._worker = worker
        try:
            await _finished(worker.submit(self._opened))
        except BaseException:
            # A cancelled opening may still have opened: closed in its turn.
            self._worker = None
            worker.submit(self._closed)
            worker.shutdown(wait=False)
            raise
        if self._owned.owning:
            self._abandon = weakref.finalize(self, _abandoned, worker, self._owned.close)
        return self

    async def close(self) -> None:
        """Close the supply once the calls made before have run (stopping
        the guard first); closing a closed supply does nothing. Cancelled,
        it still closes, in its turn."""
        worker, self._worker = self._worker, None
        if worker is None:
            return
        if self._abandon is not None:
            self._abandon.detach()
        closing = worker.submit(self._closed)
        worker.shutdown(wait=False)  # its thread ends after the calls queued
        await asyncio.shield(asyncio.wrap_future(closing))

    async def __aenter__(self) -> Self:
        return await self.open()

    async def __aexit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        await self.close()

    def _opened(self) -> None:
        self._owned.open()
        self._identity = self.supply.identity

    def _closed(self) -> None:
        self._owned.close()

    # What the supply is and holds.

    @property
    def identity(self) -> Identity:
        """Model, serial number and software version, as read when opened
        (no exchange, so nothing to await)."""
        if self._identity is None:
            raise SupplyError(f"the supply on {self.port} is not open")
        return self._identity

    async def status(self) -> Status:
        """One reading of the supply's status."""
        return await self.call(self._face.status)

    def watch(self, interval: float) -> AsyncIterator[Status]:
        """A reading of the status every `interval` seconds, counted from
        the first (one that comes late makes the next come at once, none
        twice); NoReply ends it when the supply does not answer."""
        return self._watching(setpoints.positive(interval, "the interval"))

    async def _watching(self, interval: float) -> AsyncIterator[Status]:
        loop = asyncio.get_running_loop()
        due = loop.time()
        while True:
            yield await self.status()
            due = max(due + interval, loop.time())
            await asyncio.sleep(due - loop.time())

    async def set_voltage(self, volts: float) -> None:
        """Set the output voltage, V (through the guard's slew, when it has
        one, awaited until it has arrived)."""
        await self._set("voltage", volts)

    async def set_current_limit(self, amperes: float) -> None:
        """Set the current limit, A (as set_voltage)."""
        await self._set("current", amperes)

    async def set_current(self, amperes: float) -> None:
        """Deprecated: set_current_limit, the name every face of the supply
        gives it; this one goes in the next release."""
        warnings.warn("AsyncQM4410.set_current is deprecated: use set_current_limit", DeprecationWarning, stacklevel=2)
        await self.set_current_limit(amperes)

    async def set_max_voltage(self, volts: float) -> None:
        """Set the highest voltage the output may have, V."""
        self.checked("voltage", volts, "the maximum voltage", maximum=True)
        await self.call(setattr, self._face, "max_voltage", volts)

    async def set_output(self, on: bool) -> None:
        """Switch the output on (True) or off (False); the guard's Tripped
        while a trip is latched."""
        guard = self.guard
        if guard is None:
            await self.call(setattr, self.supply, "output", on)
            return
        # With soft start, the ramp back up is waited for as a slewed set-point's is.
        await self._ramped(guard, "voltage", guard.send_output, on)

    async def set_remote(self, remote: bool) -> None:
        """Take the supply's settings from this host (True) or from its
        front panel (False)."""
        await self.call(setattr, self._face, "remote", remote)

    async def switch_off(self) -> None:
        """Switch the output off and see it off in the status;
        SwitchOffFailed when that cannot be confirmed."""
        await self.call(self._face.switch_off)

    async def restore_factory(self) -> None:
        """Restore the supply's factory settings."""
        await self.call(self._face.restore_factory)

    def checked(self, quantity: Quantity, value: object, what: str | None = None, *, maximum: bool = False) -> int:
        """The whole mV (mA) that `value`, V (A), is sent as; refused as a
        set-point is (OutOfRange, at a guard's bound too; `maximum`: the
        maximum voltage's; TypeError), at once and with nothing sent."""
        return self._face.checked(quantity, value, what, maximum=maximum)

    async def call(self, function: Callable[..., Result], *args: object) -> Result:
        """`function(*args)` on the supply's thread, in its turn: for what
        this face does not cover, e.g. `await supply.call(guard.clear)`, or
        a command of `supply.supply.driver`."""
        return await _finished(self._submit(function, *args))

    # The workflows, each holding the supply's turn until it ends.

    async def ramp(
        self,
        quantity: Quantity,
        to: float,
        *,
        rate: float,
        start: float | None = None,
        voltage: float | None = None,
        current: float | None = None,
        on_row: Callable[[Row], object] | None = None,
        on_progress: Callable[[Progress], object] | None = None,
        **options: Any,
    ) -> Outcome:
        """qm4410.workflows.ramp on this supply (its options as it takes
        them). `on_row` and `on_progress` are called on the event loop."""
        self.checked(quantity, to)
        given: list[tuple[Quantity, float | None]] = [(quantity, start), ("voltage", voltage), ("current", current)]
        for which, value in given:
            if value is not None:
                self.checked(which, value)
        return await self._workflow(
            workflows.ramp,
            quantity,
            to,
            rate=rate,
            start=start,
            voltage=voltage,
            current=current,
            on_row=on_row,
            on_progress=on_progress,
            **options,
        )

    async def sweep(
        self,
        *,
        voltage: SetPoint,
        current: SetPoint,
        both_ways: bool = False,
        on_row: Callable[[Row], object] | None = None,
        on_progress: Callable[[Progress], object] | None = None,
        **options: Any,
    ) -> Outcome:
        """qm4410.workflows.sweep on this supply (its options as it takes
        them). `on_row` and `on_progress` are called on the event loop."""
        swept, points, held, held_value = plan_sweep(voltage, current, both_ways)
        self.checked(swept, max(points))
        self.checked(held, held_value)
        return await self._workflow(
            workflows.sweep,
            voltage=voltage,
            current=current,
            both_ways=both_ways,
            on_row=on_row,
            on_progress=on_progress,
            **options,
        )

    # Beneath.

    @property
    def _face(self) -> SupplyLike:
        return self._owned.face

    async def _set(self, quantity: Quantity, value: float) -> None:
        units = self.checked(quantity, value)
        guard = self.guard
        if guard is None:
            await self.call(self.supply.set_voltage if quantity == "voltage" else self.supply.set_current_limit, value)
            return
        await self._ramped(guard, quantity, functools.partial(guard.send_units, quantity, wait=False), units)

    async def _ramped(self, guard: Guard, quantity: Quantity, send: Callable[[Any], Ramp | None], value: Any) -> None:
        """`send(value)` in the supply's turn, and the ramp of `quantity`
        it sets going awaited beside the worker; cancelled, the ramp stops
        where it stands."""

        def halt(started: Ramp | None) -> None:
            if started is not None:
                guard.halt(quantity, started)

        ramp = await _finished(self._submit(send, value), undo=halt)
        if ramp is None:
            return
        # Waited for beside the worker, which stays free for other calls
        # while the guard's own thread sends the steps.
        arrived = _beside(guard.wait_for, quantity, ramp)
        try:
            await asyncio.shield(arrived)
        except asyncio.CancelledError:
            guard.halt(quantity, ramp)
            await _outlast(arrived)
            raise

    async def _workflow(
        self,
        run: Callable[..., Outcome],
        *args: Any,
        on_row: Callable[[Row], object] | None,
        on_progress: Callable[[Progress], object] | None,
        **options: Any,
    ) -> Outcome:
        loop = asyncio.get_running_loop()
        stopping = threading.Event()
        # The guard itself, so that the workflow keeps its trips and its
        # slewed set-points' waits end when asked to stop.
        target = self._face

        def on_loop(callback: Callable[[Any], object] | None) -> Callable[[Any], None] | None:
            if callback is None:
                return None

            def handed_over(value: Any) -> None:
                loop.call_soon_threadsafe(callback, value)

            return handed_over

        running = self._submit(
            run,
            target,
            *args,
            on_row=on_loop(on_row),
            on_progress=on_loop(on_progress),
            stop=stopping.is_set,
            **options,
        )
        return await _finished(running, stop=stopping.set)

    def _submit(
        self, function: Callable[..., Result], *args: Any, **keywords: Any
    ) -> "concurrent.futures.Future[Result]":
        worker = self._worker
        if worker is None:
            raise SupplyError(f"the supply on {self.port} is not open")
        return worker.submit(function, *args, **keywords)


async def _finished(
    future: "concurrent.futures.Future[Result]",
    *,
    undo: Callable[[Result], object] | None = None,
    stop: Callable[[], object] | None = None,
) -> Result:
    """The result of a call given to a worker. When the awaiting task is
    cancelled: a call not yet started never runs; one started gets `stop()`
    (a workflow's request to stop between two exchanges) and runs to its end,
    then `undo(result)` if it succeeded; then CancelledError."""
    try:
        return await asyncio.wrap_future(future)
    except asyncio.CancelledError:
        # The cancelled wrapper has cancelled `future` unless it had started.
        if future.cancelled():
            raise
        if stop is not None:
            stop()
        waited = asyncio.wrap_future(future)
        await _outlast(waited)
        if undo is not None and waited.exception() is None:
            undo(waited.result())
        raise


async def _outlast(waited: "asyncio.Future[Any]") -> None:
    """Wait until `waited` is done, whatever it ends with, however often
    this task is cancelled meanwhile (the cancellation goes on after)."""
    while not waited.done():
        try:
            await asyncio.shield(waited)
        except asyncio.CancelledError:
            continue
        except Exception:  # its own ending, seen by whoever asked for it
            return


def _beside(function: Callable[..., Result], *args: object) -> "asyncio.Future[Result]":
    """`function(*args)` on a thread of its own, for a wait that makes no
    exchange and so need not take the supply's turn."""
    done: concurrent.futures.Future[Result] = concurrent.futures.Future()

    def run() -> None:
        done.set_running_or_notify_cancel()
        try:
            done.set_result(function(*args))
        except BaseException as error:
            done.set_exception(error)

    threading.Thread(target=run, name="qm4410 waiting for a ramp", daemon=True).start()
    return asyncio.wrap_future(done)


def _abandoned(worker: concurrent.futures.ThreadPoolExecutor, close: Callable[[], None]) -> None:
    """A supply left open (collected, or the interpreter ending): closed in
    its turn, or at once when the worker has already ended, so that neither
    its port nor a virtual supply outlives the script."""
    try:
        worker.submit(close)
        worker.shutdown(wait=False)
    except RuntimeError:  # the interpreter is ending: the worker has ended
        close()


__all__ = ["AsyncQM4410"]
