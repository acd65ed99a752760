"""The read-only subcommands: ports, info, status."""

import sys

from . import render
from .diagnosis import serial_ports
from .failures import NO_ANSWER, fail
from .session import connected


def list_ports(args) -> int:
    ports = serial_ports()
    if not ports:
        print("no serial ports found", file=sys.stderr)
        return 0
    rows = [("DEVICE", "DESCRIPTION", "VID:PID", "SERIAL NUMBER")]
    for port in ports:
        usb_id = f"{port.vid:04X}:{port.pid:04X}" if port.vid is not None else "-"
        rows.append((port.device, port.description or "-", usb_id, port.serial_number or "-"))
    print(render.aligned(rows))
    return 0


def show_identity(args) -> int:
    with connected(args) as driver:
        print(render.identity_table(driver.show_device_version()))
    return 0


def show_status(args) -> int:
    with connected(args) as driver:
        record = read_status(driver)
    print(render.status_json(record) if args.json else render.status_table(record))
    return 0


def read_status(driver) -> dict:
    record = driver.read_dev_status()
    if record is None:
        fail(NO_ANSWER, "the supply did not answer the status request")
    return record
