"""`qm4410 ports`: the serial ports of this machine, and with --probe
which of them has a supply."""

import argparse
import sys
from typing import Any

from qm4410.supply import Refused, Supply
from qm4410.supply.diagnosis import serial_ports

from .. import render
from . import Commands, Parents


def add_parser(commands: Commands, parents: Parents) -> None:
    command = commands.add_parser("ports", parents=[parents.common], help="list the serial ports of this machine")
    command.add_argument("--json", action="store_true", help="print the list as JSON")
    command.add_argument(
        "--probe",
        action="store_true",
        help="ask each port that no process holds for a supply's identity (one request, about a "
        "second at most per port) and say which holds a supply",
    )
    command.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
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


def _described(info: Any) -> dict[str, Any]:
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


def _probed(device: str) -> tuple[dict[str, object] | None, str]:
    """The identity of the supply on `device` and what the probe found. The
    driver's open() asks for no identity on a port that a process holds,
    and its one request waits a bounded time for the answer."""
    if sys.stderr.isatty():
        print(f"probing {device} ...", file=sys.stderr, flush=True)
    try:
        with Supply(device) as supply:
            return supply.identity.record(), "a supply answered"
    except Refused as refusal:
        return None, refusal.text


def _port_rows(ports: list[dict[str, Any]], probed: bool) -> list[tuple[str, ...]]:
    rows = [("DEVICE", "DESCRIPTION", "VID:PID", "SERIAL NUMBER") + (("SUPPLY",) if probed else ())]
    for port in ports:
        usb_id = f"{port['vid']:04X}:{port['pid']:04X}" if port["vid"] is not None else "-"
        row: tuple[str, ...] = (port["device"], port["description"] or "-", usb_id, port["serial_number"] or "-")
        if probed:
            row += (render.identity(port["supply"]) if port["supply"] else f"- ({port['probe']})",)
        rows.append(row)
    return rows
