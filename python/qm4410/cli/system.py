"""The one question the command asks about the operating system."""

import platform


def on_windows() -> bool:
    """Asked as the driver asks it (through `platform.system()`), so that
    the command and the driver always agree on which kind of port they face."""
    return platform.system().lower() == "windows"
