"""Where the keys of a TOML document are. tomllib keeps no places, so they
are found again in the text: the line, and the columns of the key and its
value, for the document's own keys (and its tables) and for each table of
one array of tables (`[[step]]`, or the same as inline tables,
`step = [{...}, ...]`)."""

import re
import tomllib
from collections.abc import Iterator
from typing import NamedTuple

from .profile import Place

_DECODE_PLACE = re.compile(r"\s*\(at line (\d+), column (\d+)\)$")
_TOKEN = re.compile(r"(?P<key>[A-Za-z0-9_-]+)[ \t]*=(?!=)|(?P<open>[\[{])|(?P<close>[\]}])")
_TABLE_NAME = re.compile(r"\[+[ \t]*([A-Za-z0-9_-]+)")
_QUOTES = ('"""', "'''", '"', "'")


def decode_problem(error: tomllib.TOMLDecodeError, text: str) -> tuple[Place, str]:
    """Where tomllib found `text` unreadable, and why, without the place in
    its words."""
    message = str(error)
    found = _DECODE_PLACE.search(message)
    place = (int(found[1]), int(found[2])) if found else (len(text.splitlines()) or 1, None)
    return place, f"not readable as TOML: {_DECODE_PLACE.sub('', message)}"


class KeyPlace(NamedTuple):
    line: int
    key_column: int | None
    value_column: int | None

    @property
    def key(self) -> Place:
        return self.line, self.key_column

    @property
    def value(self) -> Place:
        return self.line, self.value_column


class Places:
    """Where the keys of `text` are: `top` for those of the document itself
    (and its tables), `tables` a dict per table of the array `array`, in
    order, with the table's own place (its header or its opening brace)
    under ""."""

    def __init__(self, text: str, array: str) -> None:
        header = re.compile(rf"\[\[[ \t]*{re.escape(array)}[ \t]*\]\]")
        self.top: dict[str, KeyPlace] = {}
        self.tables: list[dict[str, KeyPlace]] = []
        table: str | None = None  # the [table] or [[table]] the lines are in, None before any
        depth = 0  # brackets and braces open
        array_depth: int | None = None  # depth of the array of `step = [...]` while inside it
        after_array_key = False
        for number, (line, masked) in enumerate(_masked_lines(text), 1):
            stripped = masked.strip()
            if depth == 0 and stripped.startswith("["):
                column = masked.index("[") + 1
                found = _TABLE_NAME.match(stripped)
                table = found[1] if found else ""
                if header.fullmatch(stripped):
                    table = "[[]]"
                    self.tables.append({"": KeyPlace(number, column, column)})
                else:
                    self.top.setdefault(table, KeyPlace(number, column, column))
                continue
            for token in _TOKEN.finditer(masked):
                column = token.start() + 1
                if token["key"]:
                    key, place = token["key"], KeyPlace(number, column, _value_column(line, token.end()))
                    if depth == 0 and table is None:
                        self.top.setdefault(key, place)
                    elif (depth == 0 and table == "[[]]") or (array_depth is not None and depth == array_depth + 1):
                        self.tables[-1].setdefault(key, place)
                    after_array_key = depth == 0 and table is None and key == array
                    continue
                if token["open"]:
                    depth += 1
                    if token["open"] == "[" and after_array_key:
                        array_depth = depth
                    elif token["open"] == "{" and array_depth is not None and depth == array_depth + 1:
                        self.tables.append({"": KeyPlace(number, column, column)})
                else:
                    if depth == array_depth:
                        array_depth = None
                    depth -= 1
                after_array_key = False


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
