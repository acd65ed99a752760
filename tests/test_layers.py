"""The package's layers point one way: the core imports nothing above it,
the workflows and the server neither the adapters nor the command, the
adapters not the command; and nothing but the wire constants reads the
driver class's private names."""

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


ADAPTERS = ["aio.py", "bluesky.py", "qcodes.py", "openhtf.py", "pymeasure.py"]
# Each layer, and the layers above it that it may not import: the core
# nothing but itself, the workflows and the server neither the adapters nor
# the command, the adapters not the command.
ABOVE = {
    "supply": ["workflows", "server", "cli", *ADAPTERS],
    "workflows": ["cli", *ADAPTERS],
    "server": ["cli", *ADAPTERS],
    **{adapter: ["cli"] for adapter in ADAPTERS},
}


def files_of(layer: str) -> list[Path]:
    return sorted((PACKAGE / layer).rglob("*.py")) if (PACKAGE / layer).is_dir() else [PACKAGE / layer]


def module_of(layer: str) -> str:
    return "qm4410." + layer.removesuffix(".py")


@pytest.mark.parametrize("layer", ABOVE)
def test_no_layer_imports_one_above_it(layer):
    files = files_of(layer)
    assert files and all(files_of(above) for above in ABOVE[layer])
    above = [module_of(name) for name in ABOVE[layer]]
    upward = {
        str(path.relative_to(PACKAGE)): sorted(
            module
            for module in imported_modules(path)
            if any(module == name or module.startswith(name + ".") for name in above)
        )
        for path in files
    }
    assert {path: modules for path, modules in upward.items() if modules} == {}


def test_only_the_wire_constants_read_the_driver_s_private_names():
    readers = [
        str(path.relative_to(PACKAGE))
        for path in sorted(PACKAGE.rglob("*.py"))
        if "_QM4410__" in path.read_text() and path != PACKAGE / "supply" / "wire.py"
    ]
    assert readers == []


def test_relative_imports_are_resolved_as_python_resolves_them():
    # Else the check of the layers would pass on any file.
    path = PACKAGE / "server" / "scpi" / "session.py"
    modules = imported_modules(path)
    assert {"qm4410.server.errors", "qm4410.supply.link", "qm4410.server.scpi.commands"} <= modules
