"""The supply core: what every front end of the package needs of a supply.

`Supply` is its face for scripts (also `qm4410.Supply`); beneath it,
`setpoints` holds the one rule from a number to what is sent, `status` the
typed status record, `switch_off` the confirmed switch-off, `opening` the
opening of a port with its refusals, `wire` the frame format the server
needs, `virtual` the virtual supplies, `link` the driver's commands,
quiet and logged, as the layers above use them, `line` the order in which
a supply's users take turns on its line and the status reading they
share, and `guard` the rules that
protect what the supply feeds (limits, slew rates, trips, a watchdog)."""

from .errors import NoReply, OutOfRange, PortGone, RefusalKind, Refused, SupplyError, SwitchOffFailed
from .face import Supply
from .guard import Guard, Rules, Trip, Tripped
from .status import Identity, Mode, Status

# Also reachable as qm4410.<name>.
__all__ = [
    "Guard",
    "Identity",
    "Mode",
    "NoReply",
    "OutOfRange",
    "PortGone",
    "Refused",
    "RefusalKind",
    "Rules",
    "Status",
    "Supply",
    "SupplyError",
    "SwitchOffFailed",
    "Trip",
    "Tripped",
]
