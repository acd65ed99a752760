"""The package's layers point one way: the core, the workflows, the
server and the adapters import nothing of the command, and nothing outside
the core reads the driver class's private names."""

import ast
import importlib.util
from pathlib import Path

import pytest

PACKAGE = Path(importlib.util.find_spec("qm4410.supply").origin).parent.parent


def imported_modules(path: Path) -> set[str]:
    """Every module that the file at `path` imports, relative imports
    resolved against its place in the package."""
    package = path.relative_to(PACKAGE.parent).parent.parts  # an __init__'s too: its folder
    modules = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            modules.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = package[: len(package) - node.level + 1] if node.level else ()
            module = ".".join([*base, *([node.module] if node.module else [])])
            modules.add(module)
            modules.update(f"{module}.{alias.name}" for alias in node.names)
    return modules


@pytest.mark.parametrize(
    "layer", ["supply", "workflows", "server", "aio.py", "bluesky.py", "qcodes.py", "openhtf.py", "pymeasure.py"]
)
def test_no_layer_below_the_command_imports_it(layer):
    files = sorted((PACKAGE / layer).rglob("*.py")) if (PACKAGE / layer).is_dir() else [PACKAGE / layer]
    assert files
    upward = {
        str(path.relative_to(PACKAGE)): sorted(
            module for module in imported_modules(path) if module == "qm4410.cli" or module.startswith("qm4410.cli.")
        )
        for path in files
    }
    assert {path: modules for path, modules in upward.items() if modules} == {}


def test_only_the_core_reads_the_driver_s_private_names():
    readers = [
        str(path.relative_to(PACKAGE))
        for path in sorted(PACKAGE.rglob("*.py"))
        if "_QM4410__" in path.read_text() and path.parent.name != "supply"
    ]
    assert readers == []


def test_relative_imports_are_resolved_as_python_resolves_them():
    # Else the check of the layers would pass on any file.
    path = PACKAGE / "server" / "scpi" / "session.py"
    modules = imported_modules(path)
    assert {"qm4410.server.errors", "qm4410.supply.link", "qm4410.server.scpi.commands"} <= modules
