"""A caller's supply behind the face it is used through, for a door that
opens and closes it (asyncio, the frameworks' adapters): what that door
opened is what it closes, and nothing of the caller's."""

from .face import Supply
from .guard import Guard, Rules
from .supply_like import SupplyLike


class Owned:
    """`supply` as `face`: the supply itself (`guard` None), a Guard of the
    caller's on it, or a Guard of its own keeping `guard`'s Rules. A Guard
    of the caller's must guard `supply` (ValueError otherwise).

    `open()` opens the supply if it is closed and starts the guard;
    `close()` closes what opening opened (the supply, a guard it started,
    and a guard on a supply opened here) and a guard of its own, and
    leaves the rest open."""

    def __init__(self, supply: Supply, guard: Rules | Guard | None = None) -> None:
        if isinstance(guard, Guard) and guard.supply is not supply:
            raise ValueError("the guard given guards another supply")
        self.supply = supply
        self.guard = Guard(supply, guard) if isinstance(guard, Rules) else guard
        self.face: SupplyLike = supply if self.guard is None else self.guard
        self._guard_of_its_own = isinstance(guard, Rules)
        self._supply_opened = False
        self._guard_started = False

    @property
    def owning(self) -> bool:
        """Whether closing would close anything."""
        return self._supply_opened or self._guard_started

    def open(self) -> SupplyLike:
        """Open what is closed, start the guard; the face. What it opened
        is closed again when it fails."""
        if self.supply.closed:
            self.supply.open()
            self._supply_opened = True
        if self.guard is not None:
            was_running = self.guard.running
            try:
                self.guard.start()
            except BaseException:
                self.close()
                raise
            self._guard_started = self._supply_opened or self._guard_of_its_own or not was_running
        return self.face

    def close(self, *, switch_off: bool = False) -> None:
        """Close what opening opened, the guard first (a ramp stops where it
        stands). With `switch_off`, the output is then switched off and seen
        off (SwitchOffFailed otherwise) before the supply is closed; what
        opening opened is closed however that ends."""
        guard_started, self._guard_started = self._guard_started, False
        supply_opened, self._supply_opened = self._supply_opened, False
        try:
            if guard_started and self.guard is not None:
                self.guard.close()
            if switch_off:
                self.supply.switch_off()
        finally:
            if supply_opened:
                self.supply.close()
