"""pytest fixtures for testing scripts that drive a supply, without one:

    def test_my_script_sets_five_volts(qm4410_port):
        supply = QM4410(qm4410_port)
        ...

`qm4410_port` is the port of a virtual supply with its default options;
`qm4410_sim(load=8, drop_every=3)` starts another with qm4410-sim's options
(long names in snake case) and returns its port. Every supply a test
started ends with it. Each test has supplies of its own, so the fixtures
need nothing shared under pytest-xdist.

A package of its own rather than a module of qm4410: loading the plugin
into every pytest run then loads nothing of the driver until a test asks
for a supply, and pytest, which looks for a plugin's modules to rewrite
among the top-level packages of its distribution, finds a Python one (the
qm4410 package's __init__ is the extension)."""

from collections.abc import Iterator
from pathlib import Path
from typing import TYPE_CHECKING

import pytest

if TYPE_CHECKING:
    from qm4410.virtual_supply import VirtualSupply


class SupplyFactory:
    """Starts the virtual supplies of one test."""

    def __init__(self, log_folder: Path) -> None:
        self.log_folder = log_folder
        self.supplies: list[VirtualSupply] = []

    def __call__(self, **options: object) -> str:
        """Start a supply with these qm4410-sim options; its port."""
        from qm4410.virtual_supply import command_line

        return self.start(*command_line(**options)).port

    def start(self, *arguments: str) -> "VirtualSupply":
        """Start a supply with qm4410-sim's arguments as on its command
        line; the running supply, with its process and its log."""
        from qm4410.virtual_supply import VirtualSupply

        log_path = self.log_folder / f"qm4410-sim-{len(self.supplies) + 1}.log"
        supply = VirtualSupply(arguments, log_path=log_path)
        self.supplies.append(supply)
        return supply

    def close(self) -> None:
        for supply in self.supplies:
            supply.close()


@pytest.fixture
def qm4410_sim(tmp_path_factory: pytest.TempPathFactory) -> Iterator[SupplyFactory]:
    """A factory of virtual supplies: `qm4410_sim(load=8)` gives the port
    of a new one. Their logs (standard error, with `verbose=True` every
    frame) are in a temporary folder of the test's, `qm4410_sim.log_folder`."""
    factory = SupplyFactory(tmp_path_factory.mktemp("qm4410-sim"))
    yield factory
    factory.close()


@pytest.fixture
def qm4410_port(qm4410_sim: SupplyFactory) -> str:
    """The port of a virtual supply with qm4410-sim's default options."""
    return qm4410_sim()
