"""Profiles in TOML: an array of tables named step, one a step,

    [[step]]
    duration = 10
    voltage = 5.0
    current = 1.0
    output = "on"

or the same as inline tables, `step = [{duration = 10, voltage = 5.0}, ...]`.
A key left out is a cell left empty. tomllib keeps no places, so they are
found again in the text: the line, and the column of the value."""

import re
import tomllib
from collections.abc import Iterator
from typing import NamedTuple

from .profile import FIELDS, Place, Profile, StepsBuilder

_DECODE_PLACE = re.compile(r"\s*\(at line (\d+), column (\d+)\)$")
_TOKEN = re.compile(r"(?P<key>[A-Za-z0-9_-]+)[ \t]*=(?!=)|(?P<open>[\[{])|(?P<close>[\]}])")
_STEP_HEADER = re.compile(r"\[\[[ \t]*step[ \t]*\]\]")
_TABLE_NAME = re.compile(r"\[+[ \t]*([A-Za-z0-9_-]+)")
_QUOTES = ('"""', "'''", '"', "'")


def read_toml_profile(text: str, source: str) -> Profile:
    builder = StepsBuilder(source, text_cells=False)
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        message = str(error)
        found = _DECODE_PLACE.search(message)
        place = (int(found[1]), int(found[2])) if found else (len(text.splitlines()) or 1, None)
        builder.problem(place, f"not readable as TOML: {_DECODE_PLACE.sub('', message)}")
        return builder.profile()
    places = _Places(text)
    unknown = _KeyPlace(1, None, None)
    for key in document:
        if key != "step":
            builder.problem(places.top.get(key, unknown).key, f"unknown key {key!r}; a profile is [[step]] tables")
    steps = document.get("step", [])
    if not isinstance(steps, list) or not all(isinstance(table, dict) for table in steps):
        builder.problem(places.top.get("step", unknown).key, "step must be an array of tables, [[step]]")
        return builder.profile()
    for index, table in enumerate(steps):
        where = places.steps[index] if index < len(places.steps) else {"": unknown}
        start = where[""]
        for key in table:
            if key not in FIELDS:
                builder.problem(where.get(key, start).key, f"unknown key {key!r}; a step has {', '.join(FIELDS)}")
        given = {key: (value, where.get(key, start).value) for key, value in table.items() if key in FIELDS}
        builder.add(given, start.line)
    return builder.profile()


class _KeyPlace(NamedTuple):
    line: int
    key_column: int | None
    value_column: int | None

    @property
    def key(self) -> Place:
        return self.line, self.key_column

    @property
    def value(self) -> Place:
        return self.line, self.value_column


class _Places:
    """Where the keys are: `top` for those of the document itself (and its
    tables), `steps` a dict per step, in order, with the step's own place
    (its header or its opening brace) under ""."""

    def __init__(self, text: str) -> None:
        self.top: dict[str, _KeyPlace] = {}
        self.steps: list[dict[str, _KeyPlace]] = []
        table: str | None = None  # the [table] or [[table]] the lines are in, None before any
        depth = 0  # brackets and braces open
        step_array: int | None = None  # depth of the array of `step = [...]` while inside it
        after_step_key = False
        for number, (line, masked) in enumerate(_masked_lines(text), 1):
            stripped = masked.strip()
            if depth == 0 and stripped.startswith("["):
                column = masked.index("[") + 1
                found = _TABLE_NAME.match(stripped)
                table = found[1] if found else ""
                if _STEP_HEADER.fullmatch(stripped):
                    table = "[[step]]"
                    self.steps.append({"": _KeyPlace(number, column, column)})
                else:
                    self.top.setdefault(table, _KeyPlace(number, column, column))
                continue
            for token in _TOKEN.finditer(masked):
                column = token.start() + 1
                if token["key"]:
                    key, place = token["key"], _KeyPlace(number, column, _value_column(line, token.end()))
                    if depth == 0 and table is None:
                        self.top.setdefault(key, place)
                    elif (depth == 0 and table == "[[step]]") or (step_array is not None and depth == step_array + 1):
                        self.steps[-1].setdefault(key, place)
                    after_step_key = depth == 0 and table is None and key == "step"
                    continue
                if token["open"]:
                    depth += 1
                    if token["open"] == "[" and after_step_key:
                        step_array = depth
                    elif token["open"] == "{" and step_array is not None and depth == step_array + 1:
                        self.steps.append({"": _KeyPlace(number, column, column)})
                else:
                    if depth == step_array:
                        step_array = None
                    depth -= 1
                after_step_key = False


def _value_column(line: str, after_equals: int) -> int:
    rest = line[after_equals:]
    return after_equals + len(rest) - len(rest.lstrip(" \t")) + 1


def _masked_lines(text: str) -> Iterator[tuple[str, str]]:
    """Each line, and the same line with its strings and comment blanked
    out, so that what looks like a key or a bracket there is not taken."""
    open_quote: str | None = None  # a multi-line string still open
    for line in text.splitlines():
        masked, i = [], 0
        while i < len(line):
            if open_quote is not None:
                width = len(open_quote) if line.startswith(open_quote, i) else 1
                if width == 1 and open_quote[0] == '"' and line[i] == "\\":
                    width = min(2, len(line) - i)  # an escaped character, maybe the quote
                elif width > 1 or open_quote == line[i]:
                    open_quote = None
                masked.append(" " * width)
                i += width
            elif line[i] == "#":
                break
            else:
                open_quote = next((quote for quote in _QUOTES if line.startswith(quote, i)), None)
                width = len(open_quote) if open_quote else 1
                masked.append(" " * width if open_quote else line[i])
                i += width
        if open_quote in ('"', "'"):
            open_quote = None  # a one-line string ends with its line, closed or not
        yield line, "".join(masked)
