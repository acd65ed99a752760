"""Why a port cannot be used: what exists, who holds it, how to get access."""

import grp
import os
import platform
import subprocess

from serial.tools import list_ports


def serial_ports() -> list:
    """The machine's serial ports as pyserial sees them, sorted by device."""
    return sorted(list_ports.comports(), key=lambda port: port.device)


def missing_port_message(port: str) -> str:
    devices = [info.device for info in serial_ports()]
    if not devices:
        return f"there is no port {port}, and this machine has no serial port at all"
    return f"there is no port {port}; the serial ports of this machine are: " + ", ".join(devices)


def lacks_access(port: str) -> bool:
    return not os.access(port, os.R_OK | os.W_OK)


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
    try:
        return grp.getgrgid(os.stat(port).st_gid).gr_name
    except (OSError, KeyError):
        return None


def port_holders(port: str) -> list[str]:
    """Each process that has `port` open, as "NAME (pid N, user U)"; empty
    when nobody does. Needs lsof, which the driver's open() needs too."""
    listing = subprocess.run(
        ["lsof", "-F", "pcL", "--", port], capture_output=True, text=True, check=False
    ).stdout
    holders: list[dict[str, str]] = []
    for line in listing.splitlines():
        field, value = line[:1], line[1:]
        if field == "p":
            holders.append({"p": value})
        elif holders and field in ("c", "L"):
            holders[-1][field] = value
    return [
        f"{h.get('c', '?')} (pid {h['p']}, user {h.get('L', '?')})" for h in holders
    ]


def busy_message(port: str, holders: list[str]) -> str:
    return f"{port} is in use by " + ", ".join(holders) + "; close it there first"
