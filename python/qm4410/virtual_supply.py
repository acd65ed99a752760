"""Virtual supplies for scripts and tests (see qm4410.supply.virtual)."""

from .supply.virtual import PROGRAM, SimulatorError, SimulatorMissing, VirtualSupply, command_line, simulator_program

__all__ = ["PROGRAM", "SimulatorError", "SimulatorMissing", "VirtualSupply", "command_line", "simulator_program"]
