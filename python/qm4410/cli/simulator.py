"""The virtual supply behind `--sim`: started for one command, always stopped."""

import contextlib
import sys
from collections.abc import Iterator, Sequence

from ..virtual_supply import PROGRAM, SimulatorError, SimulatorMissing, VirtualSupply
from .exits import CommandError, Exit
from .system import on_windows


@contextlib.contextmanager
def simulated_port(options: Sequence[str]) -> Iterator[str]:
    """Start the virtual supply with `options` and yield the path of its port.
    What it says on standard error is passed on once it has stopped."""
    try:
        supply = VirtualSupply(options)
    except SimulatorMissing:
        raise CommandError(Exit.NO_VIRTUAL_SUPPLY, _no_virtual_supply()) from None
    except SimulatorError as error:
        raise CommandError(Exit.SIMULATOR_FAILED, str(error)) from None
    with supply:
        try:
            yield supply.port
        finally:
            supply.stop()
            if words := supply.log().strip():
                print(words, file=sys.stderr)


def _no_virtual_supply() -> str:
    if on_windows():
        reason = f"no virtual supply is available on Windows: {PROGRAM} is built on Linux and macOS only"
    else:
        reason = f"no virtual supply is available: {PROGRAM} is not installed here (the package was built without it)"
    return reason + "; give --port with a real supply's port instead"
