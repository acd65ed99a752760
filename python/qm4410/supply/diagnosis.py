"""Why a device of this machine cannot be used as the supply's port: what
exists, what it is, who holds it, how to get access."""

import os
import platform
import shutil
import stat
import subprocess
from typing import Any, NamedTuple

from serial.tools import list_ports

from qm4410 import _line

from .errors import RefusalKind, Refused

try:
    import grp
    import pwd
except ImportError:  # Windows: no groups nor users, and no device files to own
    grp = pwd = None  # type: ignore[assignment]

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
    """Raise the Refused that says the local device `port` is no serial
    port, where opening it would say otherwise first: lsof finds a device
    that other programs hold open (/dev/null) in use, and on Windows
    pyserial tells a missing COM port from one in use by no error number,
    so there the system's list of ports says which ones exist."""
    if on_windows():
        _check_com_port(port)
    else:
        _check_device_file(port)


def refusal(port: str, error: _line.OpenError) -> Refused:
    """The refusal that opening the local device `port` ended in, by its
    kind, with what to do about it."""
    if isinstance(error, _line.NoSuchPort):
        return Refused(RefusalKind.PORT_MISSING, missing_port_message(port))
    if isinstance(error, _line.PermissionDenied):
        return Refused(RefusalKind.PERMISSION_DENIED, permission_message(port))
    if isinstance(error, _line.NotASerialPort):
        return Refused(RefusalKind.NOT_A_PORT, not_a_port_message(port))
    if on_windows():
        # The open is the availability check there, exclusive: a COM port
        # that the system lists and that does not open is in use.
        return Refused(RefusalKind.PORT_BUSY, busy_message(port, []))
    if shutil.which("lsof") is None:
        return Refused(
            RefusalKind.CANNOT_OPEN,
            "lsof is not installed, and the driver needs it to see whether "
            f"{port} is free; install it (e.g. apt-get install lsof)",
        )
    return Refused(RefusalKind.CANNOT_OPEN, str(error))


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
    except OSError:
        return  # missing or out of reach: opening it tells which
    if not stat.S_ISCHR(mode) or not _takes_line_settings(port):
        raise Refused(RefusalKind.NOT_A_PORT, not_a_port_message(port))


def not_a_port_message(port: str) -> str:
    """What `port`, a path of this machine, is instead of a serial port."""
    try:
        mode = os.stat(port).st_mode
    except OSError:
        mode = 0
    if stat.S_ISCHR(mode):
        return f"{port} is a device but not a serial port (it has no line settings); " + _existing_ports()
    return f"{port} is {_kind(mode)}, not a serial port; " + _existing_ports()


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
    """A process that has a port open; its user, where the system tells."""

    command: str
    pid: int
    user: str | None

    @classmethod
    def of(cls, pid: int, program: str | None) -> "Holder":
        """The process `pid`, running `program`, as lsof named them."""
        return cls(program or "?", pid, _user_of(pid))

    def __str__(self) -> str:
        user = "" if self.user is None else f", user {self.user}"
        return f"{self.command} (pid {self.pid}{user})"


def _user_of(pid: int) -> str | None:
    """Who runs the process `pid`: the owner of its /proc entry, on a
    system that has one."""
    if pwd is None:
        return None
    try:
        return pwd.getpwuid(os.stat(f"/proc/{pid}").st_uid).pw_name
    except (OSError, KeyError):
        return None


def port_holders(port: str) -> list[Holder]:
    """Each other process that has `port` open, as lsof names them now;
    empty when nobody does. For a port whose lock refused us after the
    driver's availability check had found it free. lsof gets no standard
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
    return [Holder(h.get("c", "?"), int(h["p"]), h.get("L")) for h in holders if int(h["p"]) != os.getpid()]


def busy_message(port: str, holders: list[Holder], served_at: str | None = None) -> str:
    """Who holds `port` (no holders: the system names none), and what to
    do: close it there, or, when one of them is a `qm4410 serve` that
    serves it, open the URL it serves it at."""
    held = f"{port} is in use by " + (", ".join(map(str, holders)) or "another program")
    if served_at is not None:
        return f"{held}, which serves it with qm4410 serve at {served_at}: use that URL instead of the port"
    return held + "; close it there first"
