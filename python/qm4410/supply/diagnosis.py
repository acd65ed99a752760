"""Why a device of this machine cannot be used as the supply's port: what
exists, what it is, who holds it, how to get access."""

import os
import platform
import stat
import subprocess
from typing import Any, NamedTuple

from serial.tools import list_ports

from .errors import RefusalKind, Refused

try:
    import grp
except ImportError:  # Windows: no groups, and no device files to own
    grp = None  # type: ignore[assignment]

# How long lsof may take to name the holders of a port.
LSOF_TIMEOUT_S = 10.0


def on_windows() -> bool:
    """Asked as the driver asks it (through `platform.system()`), so that
    the package and the driver always agree on which kind of port they face."""
    return platform.system().lower() == "windows"


def serial_ports() -> list[Any]:
    """The machine's serial ports as pyserial sees them, sorted by device."""
    return sorted(list_ports.comports(), key=lambda port: port.device)


def check_device(port: str) -> None:
    """Raise the Refused that says why the local device `port` cannot be a
    serial port, if it cannot. The driver would report a missing or
    forbidden port only as a serial error text, and takes a file that is no
    port for one in use; saying it first lets us add what to do about it."""
    if on_windows():
        _check_com_port(port)
    else:
        _check_device_file(port)


def _check_com_port(port: str) -> None:
    # COM ports are no files: the system's list is what says they exist.
    if _com_name(port) in {_com_name(info.device) for info in serial_ports()}:
        return
    if os.path.exists(port):
        raise Refused(RefusalKind.NOT_A_PORT, f"{port} is not a COM port; " + _existing_ports())
    raise Refused(RefusalKind.PORT_MISSING, missing_port_message(port))


def _com_name(name: str) -> str:
    return name.upper().removeprefix("\\\\.\\")


def _check_device_file(port: str) -> None:
    try:
        mode = os.stat(port).st_mode
    except (FileNotFoundError, NotADirectoryError):
        raise Refused(RefusalKind.PORT_MISSING, missing_port_message(port)) from None
    except PermissionError:
        raise Refused(RefusalKind.PERMISSION_DENIED, permission_message(port)) from None
    if not stat.S_ISCHR(mode):
        raise Refused(RefusalKind.NOT_A_PORT, f"{port} is {_kind(mode)}, not a serial port; " + _existing_ports())
    if not os.access(port, os.R_OK | os.W_OK):
        raise Refused(RefusalKind.PERMISSION_DENIED, permission_message(port))
    if not _takes_line_settings(port):
        raise Refused(
            RefusalKind.NOT_A_PORT,
            f"{port} is a device but not a serial port (it has no line settings); " + _existing_ports(),
        )


def _kind(mode: int) -> str:
    kinds = [
        (stat.S_ISDIR, "a folder"),
        (stat.S_ISREG, "a regular file"),
        (stat.S_ISBLK, "a block device"),
        (stat.S_ISFIFO, "a named pipe"),
        (stat.S_ISSOCK, "a socket"),
    ]
    return next((name for test, name in kinds if test(mode)), "no device")


def _takes_line_settings(port: str) -> bool:
    """Whether the character device `port` is a terminal, as every serial
    port is. Opened without becoming our terminal and without waiting for
    a carrier; nothing is written."""
    import termios  # POSIX only, as this question is

    try:
        fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError:
        return True  # cannot tell; the driver's own open will say why
    try:
        termios.tcgetattr(fd)
        return True
    except termios.error:
        return False
    finally:
        os.close(fd)


def _existing_ports() -> str:
    devices = [info.device for info in serial_ports()]
    if not devices:
        return "this machine has no serial port at all"
    return "the serial ports of this machine are: " + ", ".join(devices)


def missing_port_message(port: str) -> str:
    return f"there is no port {port}; " + _existing_ports()


def permission_message(port: str) -> str:
    message = f"permission denied on {port}"
    if platform.system() != "Linux":
        return message + "; ask the administrator for read and write access to it"
    udev_rule = (
        'a udev rule such as SUBSYSTEM=="tty", ATTRS{idVendor}=="XXXX", '
        'ATTRS{idProduct}=="YYYY", GROUP="dialout", MODE="0660" in /etc/udev/rules.d/'
    )
    group = _owning_group(port)
    if group in (None, "root"):  # joining root's group is no answer
        return (
            f"{message}; it is root's alone: give the device {udev_rule}, "
            "then join dialout (sudo usermod -aG dialout $USER, then log in again)"
        )
    return (
        f"{message}; to get access, join the group {group} that owns it "
        f"(sudo usermod -aG {group} $USER, then log in again) or give the device {udev_rule}"
    )


def _owning_group(port: str) -> str | None:
    if grp is None:
        return None
    try:
        return grp.getgrgid(os.stat(port).st_gid).gr_name
    except (OSError, KeyError):
        return None


class Holder(NamedTuple):
    """A process that has a port open."""

    command: str
    pid: int
    user: str

    def __str__(self) -> str:
        return f"{self.command} (pid {self.pid}, user {self.user})"


def port_holders(port: str) -> list[Holder]:
    """Each other process that has `port` open; empty when nobody does.
    Needs lsof, which the driver's open() needs too. lsof gets no standard
    input of ours, so that it cannot hold the port itself (a port that is
    our own terminal)."""
    try:
        listing = subprocess.run(
            ["lsof", "-F", "pcL", "--", port],
            stdin=subprocess.DEVNULL,
            capture_output=True,
            text=True,
            check=False,
            timeout=LSOF_TIMEOUT_S,
        ).stdout
    except (subprocess.TimeoutExpired, FileNotFoundError):
        return []
    holders: list[dict[str, str]] = []
    for line in listing.splitlines():
        field, value = line[:1], line[1:]
        if field == "p" and value.isdigit():
            holders.append({"p": value})
        elif holders and field in ("c", "L"):
            holders[-1][field] = value
    return [Holder(h.get("c", "?"), int(h["p"]), h.get("L", "?")) for h in holders if int(h["p"]) != os.getpid()]


def busy_message(port: str, holders: list[Holder], served_at: str | None = None) -> str:
    """Who holds `port`, and what to do: close it there, or, when one of
    them is a `qm4410 serve` that serves it, open the URL it serves it at."""
    held = f"{port} is in use by " + ", ".join(map(str, holders))
    if served_at is not None:
        return f"{held}, which serves it with qm4410 serve at {served_at}: use that URL instead of the port"
    return held + "; close it there first"
