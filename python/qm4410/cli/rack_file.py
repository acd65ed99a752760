"""Rack files: the supplies one `qm4410 serve --config RACK.toml` serves,
each with the options serve takes for one supply, under the same names
without their dashes:

    reconnect = true              # defaults for every supply: any key but name and port

    [[supply]]
    name = "psu1"                 # letters, digits, - _ . : it names the supply's endpoints and log
    port = "/dev/serial/by-id/usb-USB_Serial_A10K5XYZ-if00-port0"
    rfc2217 = 4410
    scpi = 5025
    limit-voltage = 12

    [[supply]]
    name = "sim1"
    sim = true
    load = 8
    rfc2217 = 4411
    scpi = 5026

The file is checked whole before anything opens: every value by serve's own
option parser (the same checks, in the same words, as on the command line),
then what only a rack can get wrong: a supply without a port; a port, a
TCP address, a name or an EPICS prefix given twice; prefixes that would
name one PV twice on the rack's one Channel Access server, or put that
server on two addresses. Each problem is told with its line."""

import argparse
import dataclasses
import difflib
import os
import re
import tomllib
from collections.abc import Callable
from typing import Any, NamedTuple

from qm4410.server import LOOPBACK, Hislip, Rfc2217, Scpi, TcpEndpoint, Vxi11
from qm4410.server.epics.names import shared_name
from qm4410.server.http.names import DEFAULT_PORT as DEFAULT_HTTP_PORT
from qm4410.server.http.names import RESERVED_PATHS
from qm4410.supply.remote import is_url
from qm4410.workflows.toml_places import KeyPlace, Places, decode_problem

from . import guard
from . import port as port_options
from .serving import http_problem


class Kind(NamedTuple):
    """What a key's value may be in TOML, in words for a refusal."""

    types: tuple[type, ...]
    words: str


TEXT = Kind((str,), "a string")
NUMBER = Kind((int, float), "a number")
WHOLE = Kind((int,), "a whole number")
FLAG = Kind((bool,), "true or false")
ADDRESS = Kind((int, str), 'a port number or "HOST:PORT"')
# A door served only when asked for: true (on its own port), a port or "HOST:PORT".
DOOR = Kind((bool, int, str), 'true, a port number or "HOST:PORT"')
NETWORKS = Kind((list,), 'a list of networks, ["192.168.1.0/24"]')

# Every key a supply takes, each the serve option of its name ("--" + key),
# whose parser checks its value.
KEYS: dict[str, Kind] = {
    # Where the supply is: a port, or a virtual supply with its options.
    "port": TEXT,
    "sim": FLAG,
    "load": NUMBER,
    "drop-every": WHOLE,
    "late-every": WHOLE,
    "corrupt-every": WHOLE,
    "split-every": WHOLE,
    "stray-every": WHOLE,
    "vanish-after": WHOLE,
    "line-speed": WHOLE,
    "control": TEXT,
    # How it is served.
    "rfc2217": ADDRESS,
    "scpi": ADDRESS,
    "hislip": DOOR,
    "vxi11": DOOR,
    "mdns": FLAG,
    "epics": TEXT,
    "http": DOOR,
    "http-control": FLAG,
    "http-token": TEXT,
    "bind": TEXT,
    "allow": NETWORKS,
    "idle-timeout": NUMBER,
    "max-age": NUMBER,
    "off-on-exit": FLAG,
    "reconnect": FLAG,
    "state": TEXT,
    "restore-output": TEXT,
    # Its guard.
    "limit-voltage": NUMBER,
    "limit-current": NUMBER,
    "slew-voltage": NUMBER,
    "slew-current": NUMBER,
    "trip-current": NUMBER,
    "trip-power": NUMBER,
    "trip-cc-after": NUMBER,
    "trip-overtemp": FLAG,
    "watchdog": NUMBER,
    "soft-start": FLAG,
}
# Only a supply's own table takes these.
OWN_KEYS = ("name", "port", "state")
ENDPOINTS: dict[str, type[TcpEndpoint]] = {"rfc2217": Rfc2217, "scpi": Scpi, "hislip": Hislip, "vxi11": Vxi11}
ENDPOINT_KEYS = tuple(ENDPOINTS)
SIM_KEYS = tuple(option.removeprefix("--") for option, *_ in port_options.SIM_OPTIONS)
# In a rack a supply whose port goes away is opened again once it is back.
DEFAULTS = {"reconnect": True}
NAME = re.compile(r"[A-Za-z0-9_.-]+")
WILDCARDS = ("0.0.0.0", "::")
_NOWHERE = KeyPlace(1, None, None)


class RackFileError(Exception):
    """The file cannot be served: its problems, each "FILE:LINE: what"."""

    def __init__(self, problems: list[str]) -> None:
        super().__init__("\n".join(problems))
        self.problems = problems


@dataclasses.dataclass(frozen=True)
class RackSupply:
    """One supply of a rack: its name, and its options as serve's own
    command line would give them."""

    name: str
    args: argparse.Namespace


def read_rack(path: str, options: Callable[[], argparse.ArgumentParser]) -> list[RackSupply]:
    """The supplies of the rack file at `path`, each checked by the parser
    `options()` gives (serve's options for one supply); RackFileError with
    every problem found, OSError when it cannot be read."""
    with open(path, encoding="utf-8") as file:
        text = file.read()
    checker = _Checker(path, text, options)
    supplies = checker.supplies()
    if checker.problems:
        raise RackFileError([f"{path}:{line}: {what}" for line, what in sorted(checker.problems)])
    return supplies


class _Checker:
    def __init__(self, path: str, text: str, options: Callable[[], argparse.ArgumentParser]) -> None:
        self.path = path
        self.text = text
        self.problems: list[tuple[int, str]] = []
        self._parser = options()
        self._parser.exit_on_error = False
        self._parser.set_defaults(port=None, **{key.replace("-", "_"): value for key, value in DEFAULTS.items()})

    def supplies(self) -> list[RackSupply]:
        try:
            document = tomllib.loads(self.text)
        except tomllib.TOMLDecodeError as error:
            (line, _), what = decode_problem(error, self.text)
            self.problems.append((line, what))
            return []
        places = Places(self.text, "supply")
        top = places.top
        # Only the defaults that pass go to the supplies, each told once.
        defaults = {}
        for key, value in document.items():
            place = top.get(key, _NOWHERE)
            if key in OWN_KEYS:
                self.problems.append((place.line, f"{key} belongs in a [[supply]] table"))
            elif key != "supply" and key not in KEYS and _is_table(value):
                self.problems.append((place.line, _unknown_table(key, value)))
            elif key != "supply" and self._check_value(key, value, place.line):
                defaults[key] = value
        tables = document.get("supply")
        if not (isinstance(tables, list) and tables and all(isinstance(table, dict) for table in tables)):
            line = top["supply"].line if "supply" in top else 1
            self.problems.append((line, "no supply: give each a [[supply]] table with its name and port (or sim)"))
            return []
        supplies, given = [], []
        for index, table in enumerate(tables):
            where = places.tables[index] if index < len(places.tables) else {"": top.get("supply", _NOWHERE)}
            merged = {**defaults, **table}
            supply = self._supply(merged, table, where)
            if supply is not None:
                supplies.append(supply)
            given.append((merged, where))
        self._check_repeats(given)
        return supplies

    def _supply(self, merged: dict[str, Any], own: dict[str, Any], where: dict[str, KeyPlace]) -> RackSupply | None:
        start = where[""].line

        def line(key: str) -> int:
            return where[key].line if key in where else start

        before = len(self.problems)
        name = own.get("name")
        if name is None:
            self.problems.append((start, 'a supply needs a name: name = "psu1"'))
        elif not (isinstance(name, str) and NAME.fullmatch(name)):
            self.problems.append((line("name"), f"the name {name!r} is not letters, digits, - _ and . alone"))
        for key, value in own.items():
            if key != "name":
                self._check_value(key, value, line(key))
        sim = merged.get("sim") is True
        if "port" in merged and sim:
            self.problems.append((line("port"), "port and sim = true name two supplies: give one"))
        elif "port" not in merged and not sim:
            self.problems.append((start, 'no supply named: give port = "/dev/ttyUSB0" (or a URL), or sim = true'))
        if not sim:
            for key in SIM_KEYS:
                if key in merged:
                    self.problems.append((line(key), f"{key} is an option of the virtual supply: add sim = true"))
        if len(self.problems) > before:
            return None
        args = self._parsed(merged)
        found = guard.problem(args, prefix="") or http_problem(args, prefix="", racked=True)
        if found is not None:  # told on the first line of the table's that gives a rule it names
            named = [line(key) for key in where if key in KEYS and re.search(rf"(?<![-\w]){key}(?![-\w])", found)]
            self.problems.append((min(named, default=start), found))
            return None
        if args.http is not None and name in RESERVED_PATHS:
            self.problems.append((line("name"), f"the name {name} is a path of the HTTP server's own: give another"))
            return None
        return RackSupply(str(name), args)

    def _check_value(self, key: str, value: object, line: int) -> bool:
        """Whether `value` is one that `key` takes; if not, the problem is told."""
        kind = KEYS.get(key)
        if kind is None:
            near = difflib.get_close_matches(key, [*KEYS, "name"], n=1)
            self.problems.append((line, f"unknown key {key!r}" + (f": {near[0]}?" if near else "")))
        elif not _takes(kind, value):
            self.problems.append((line, f"{key} takes {kind.words}, not {_toml(value)}"))
        else:
            try:
                self._parsed({key: value})
                return True
            except argparse.ArgumentError as error:
                self.problems.append((line, f"{key}: {error.message}"))
        return False

    def _parsed(self, values: dict[str, Any]) -> argparse.Namespace:
        """The options that the keys and `values` stand for, as serve's
        parser reads them; a flag set to false is false, whatever the rack's
        defaults (reconnect) say."""
        args, left = self._parser.parse_known_args(_words(values))
        assert not left, f"the rack's keys name options serve lacks: {left}"
        for key, value in values.items():
            if value is False:
                setattr(args, key.replace("-", "_"), False)
        return args

    def _check_repeats(self, given: list[tuple[dict[str, Any], dict[str, KeyPlace]]]) -> None:
        """Names, ports and TCP addresses, each to one supply alone (of
        those whose values could be read)."""
        owners: dict[tuple[str, str], str] = {}  # (key, value): whose
        listening: list[tuple[str, int, str]] = []  # host, port, whose
        # The rack's one Channel Access server: each prefix with its
        # supply, and the address of the first supply on EPICS.
        prefixes: list[tuple[str, str]] = []
        epics_bind: tuple[str, str] | None = None  # (address, whose)
        # The rack's one HTTP server, which every supply served on it shares.
        http: dict[str, tuple[object, str]] = {}  # key: (value, whose)
        for merged, where in given:
            whose = str(merged.get("name"))

            def line(key: str, where: dict[str, KeyPlace] = where) -> int:
                return where[key].line if key in where else where[""].line

            port = merged.get("port") if not merged.get("sim") else None
            state = merged.get("state")
            for key, value in (
                ("name", merged.get("name")),
                ("port", _device(port) if port else None),
                ("epics", merged.get("epics")),
                ("state", os.path.realpath(state) if isinstance(state, str) and state != "none" else None),
            ):
                if not isinstance(value, str):
                    continue
                if (key, value) in owners:
                    self.problems.append((line(key), f"{key} {value} is {owners[key, value]}'s already"))
                elif key == "epics":
                    epics_bind = self._check_epics(value, merged, whose, line, prefixes, epics_bind)
                owners.setdefault((key, value), whose)
            for key in (*ENDPOINT_KEYS, "http"):
                try:
                    args = self._parsed({key: merged[key]} if key in merged else {})
                except argparse.ArgumentError:
                    continue  # told already
                if getattr(args, key) is None:
                    continue  # a door not served
                host, number = getattr(args, key)
                bind = merged.get("bind")
                host = host or (bind if isinstance(bind, str) else LOOPBACK)
                if number is None:
                    number = DEFAULT_HTTP_PORT if key == "http" else ENDPOINTS[key].default_port
                if key == "http" and self._shares_http(http, merged, whose, line):
                    continue  # the server another supply gave already
                clash = next(
                    (
                        owner
                        for other_host, other_number, owner in listening
                        if number
                        and number == other_number
                        and (host == other_host or {host, other_host} & set(WILDCARDS))
                    ),
                    None,
                )
                if clash is not None:
                    unsaid = "" if key in merged else f" (the default, {key} being left out)"
                    self.problems.append((line(key), f"{key} {host}:{number}{unsaid} is taken by {clash}"))
                listening.append((host, number, f"{whose}'s {key}"))

    def _check_epics(
        self,
        prefix: str,
        merged: dict[str, Any],
        whose: str,
        line: Callable[[str], int],
        prefixes: list[tuple[str, str]],
        epics_bind: tuple[str, str] | None,
    ) -> tuple[str, str]:
        """Whether the supply's prefix names no PV that another's does, and
        its bind is that of the rack's Channel Access server (a problem,
        told, where not); the server's address, the first supply's."""
        for other, owner in prefixes:
            name = shared_name(prefix, other)
            if name is not None:
                self.problems.append(
                    (
                        line("epics"),
                        f"epics {prefix} and {owner}'s {other} would both name the PV {name}: give prefixes "
                        "that name no PV twice",
                    )
                )
                break
        prefixes.append((prefix, whose))
        bind = merged.get("bind")
        address = bind if isinstance(bind, str) else LOOPBACK
        if epics_bind is None:
            return address, whose
        if address != epics_bind[0]:
            self.problems.append(
                (
                    line("bind"),
                    f"bind: a rack has one Channel Access server, and {epics_bind[1]} put it on {epics_bind[0]}: "
                    "give every supply on EPICS the same bind",
                )
            )
        return epics_bind

    def _shares_http(
        self, http: dict[str, tuple[object, str]], merged: dict[str, Any], whose: str, line: Callable[[str], int]
    ) -> bool:
        """Whether the supply's http and http-token are those of the rack's
        HTTP server that an earlier supply gave (a problem, told, when they
        differ); False for the first."""
        first = not http
        for key in ("http", "http-token"):
            value = merged.get(key)
            if key not in http:
                http[key] = (value, whose)
            elif value != http[key][0]:
                given, owner = http[key]
                self.problems.append(
                    (
                        line(key),
                        f"{key}: a rack has one HTTP server, and {owner} gave it {_toml(given)}: give {key} once, "
                        "at the top of the file",
                    )
                )
        return not first


def _is_table(value: object) -> bool:
    """Whether `value` is a TOML table, or an array of them ([[name]])."""
    tables = value if isinstance(value, list) else [value]
    return bool(tables) and all(isinstance(table, dict) for table in tables)


def _unknown_table(name: str, value: object) -> str:
    """A table a rack has no use for, with the one it has if it is near."""
    shown = f"[[{name}]]" if isinstance(value, list) else f"[{name}]"
    near = difflib.get_close_matches(name, ["supply"], n=1)
    return f"unknown table {shown}" + (": [[supply]]?" if near else "")


def _takes(kind: Kind, value: object) -> bool:
    """Whether `value` is of `kind`'s TOML type (true is no number here)."""
    if (isinstance(value, bool) and bool not in kind.types) or not isinstance(value, kind.types):
        return False
    return not isinstance(value, list) or all(isinstance(item, str) for item in value)


def _words(values: dict[str, Any]) -> list[str]:
    """Serve's command-line words that the keys and values stand for."""
    words = []
    for key, value in values.items():
        if key == "name":
            continue
        option = "--" + key
        if isinstance(value, bool):
            words += [option] if value else []
        elif isinstance(value, list):
            words += [word for item in value for word in (option, item)]
        else:
            words += [option, str(value)]
    return words


def _device(port: str) -> str:
    """A device by the path it resolves to, so that two names of one
    adapter (/dev/serial/by-id/...) are seen to be one."""
    return port if is_url(port) else os.path.realpath(port)


def _toml(value: object) -> str:
    if isinstance(value, bool):
        return str(value).lower()
    if isinstance(value, str):
        return f'"{value}"'
    return repr(value) if not isinstance(value, (dict, list)) else ("a table" if isinstance(value, dict) else "a list")
