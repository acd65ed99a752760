"""One supply as an OpenHTF plug (`pip install 'qm4410[openhtf]'`).

    CONF.load(qm4410_port='/dev/ttyUSB0')

    @htf.plug(psu=SupplyPlug)
    def power_up(test, psu):
        psu.supply.voltage, psu.supply.output = 5.0, True

The plug opens the supply on the port of the configuration key
`qm4410_port` when the test starts (a port that cannot be opened ends the
test in ERROR, with the core's Refused), and its tearDown, which OpenHTF
runs however the phases ended, switches the output off, confirmed in the
supply's status, before closing the port."""

from openhtf.core.base_plugs import BasePlug
from openhtf.util.configuration import CONF

from .supply.errors import SwitchOffFailed
from .supply.face import Supply
from .supply.guard import Rules
from .supply.owned import Owned

CONF.declare(
    "qm4410_port",
    description="The supply of qm4410.openhtf.SupplyPlug: a device ('/dev/ttyUSB0', "
    "'COM3') or a URL ('rfc2217://labpi:4410')",
)


class SupplyPlug(BasePlug):  # type: ignore[misc]
    """The supply on the port of `qm4410_port`, as `supply`: a qm4410.Supply,
    or, when the class's `rules` are set (a subclass's qm4410.Rules), a
    qm4410.Guard keeping them on it, with the same face. A phase written for
    SupplyPlug takes such a subclass too: `phase.with_plugs(psu=Guarded)`."""

    rules: Rules | None = None
    auto_placeholder = True

    def __init__(self) -> None:
        self._owned = Owned(Supply(CONF.qm4410_port), self.rules)
        self.supply = self._owned.open()

    def tearDown(self) -> None:
        """Stop the guard (a ramp where it stands), switch the output off,
        confirmed, and close the port. When the switch-off cannot be
        confirmed, the test's log says so at ERROR and SwitchOffFailed is
        raised (which OpenHTF logs too)."""
        try:
            self._owned.close(switch_off=True)
        except SwitchOffFailed as failed:
            self.logger.error("the supply on %s: %s", self.supply.port, failed)
            raise
