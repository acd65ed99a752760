"""`qm4410 status`: one status record."""

import argparse

from qm4410.supply.status import named

from .. import port, render
from . import Commands, Parents


def add_parser(commands: Commands, parents: Parents) -> None:
    command = commands.add_parser("status", parents=parents, help="one status record")
    command.add_argument("--json", action="store_true", help="print the record as JSON")
    command.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    with port.opened(args) as supply:
        status = supply.status()
    print(render.as_json(named(status)) if args.json else render.status_table(status))
    return 0
