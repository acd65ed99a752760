"""The read-only subcommands: ports, info, status."""

import contextlib
import sys
from collections.abc import Mapping

from . import render
from .diagnosis import serial_ports
from .exits import CommandError, Exit
from .session import connect, connected


def list_ports(args) -> int:
    ports = [_described(info) for info in serial_ports()]
    if args.probe:
        for port in ports:
            port["supply"], port["probe"] = _probed(port["device"])
    if args.json:
        print(render.as_json(ports))
    elif not ports:
        print("no serial ports found", file=sys.stderr)
    else:
        print(render.aligned(_port_rows(ports, args.probe)))
    return 0


def _described(info) -> dict:
    return {
        "device": info.device,
        "description": info.description,
        "vid": info.vid,
        "pid": info.pid,
        "serial_number": info.serial_number,
        "manufacturer": info.manufacturer,
        "product": info.product,
        "hwid": info.hwid,
    }


def _probed(device: str) -> tuple[Mapping[str, object] | None, str]:
    """The identity of the supply on `device` and what the probe found. The
    driver's open() asks for no identity on a port that a process holds,
    and its one request waits a bounded time for the answer."""
    if sys.stderr.isatty():
        print(f"probing {device} ...", file=sys.stderr, flush=True)
    try:
        with contextlib.ExitStack() as stack:
            return connect(device, stack).show_device_version(), "a supply answered"
    except CommandError as refusal:
        return None, refusal.message


def _port_rows(ports: list[dict], probed: bool) -> list[tuple[str, ...]]:
    rows = [("DEVICE", "DESCRIPTION", "VID:PID", "SERIAL NUMBER") + (("SUPPLY",) if probed else ())]
    for port in ports:
        usb_id = f"{port['vid']:04X}:{port['pid']:04X}" if port["vid"] is not None else "-"
        row: tuple[str, ...] = (port["device"], port["description"] or "-", usb_id, port["serial_number"] or "-")
        if probed:
            row += (render.identity(port["supply"]) if port["supply"] else f"- ({port['probe']})",)
        rows.append(row)
    return rows


def show_identity(args) -> int:
    with connected(args) as driver:
        version = driver.show_device_version()
    print(render.as_json(version) if args.json else render.identity_table(version))
    return 0


def show_status(args) -> int:
    with connected(args) as driver:
        record = read_status(driver)
    print(render.as_json(record) if args.json else render.status_table(record))
    return 0


def read_status(driver) -> dict:
    record = driver.read_dev_status()
    if record is None:
        raise CommandError(Exit.NO_ANSWER, "the supply did not answer the status request")
    return record
