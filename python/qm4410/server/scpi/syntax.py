"""SCPI program messages: a line cut into its units, each unit's header and
parameters; command headers as SCPI writes them; and SCPI's decimal numbers
with their unit suffixes."""

import decimal
import re
from collections.abc import Mapping
from dataclasses import dataclass

from .errors import COMMAND_ERROR, DATA_OUT_OF_RANGE, ILLEGAL_PARAMETER_VALUE, SYNTAX_ERROR, ScpiError

_HEADER = re.compile(r"\*[A-Z]+\??|:?[A-Z][A-Z0-9_]*(?::[A-Z][A-Z0-9_]*)*\??", re.IGNORECASE)
# 5, +5., 5.0, .5, 5E0, 5.0e-3, then an optional suffix: 5 V, 500mV.
_NUMBER = re.compile(r"([+-]?(?:\d+(?:\.\d*)?|\.\d+)(?:\s*E\s*[+-]?\d+)?)\s*([A-Z]*)", re.IGNORECASE)
_NUMBER_START = "+-.0123456789"
_PATTERN_NODE = re.compile(r"\[:?([*A-Za-z]+):?\]|:?([*A-Za-z]+)")
# Scaling by a power of ten, exactly, however many digits a number has.
_EXACT = decimal.Context(prec=decimal.MAX_PREC, Emax=decimal.MAX_EMAX, Emin=decimal.MIN_EMIN)


@dataclass(frozen=True)
class Unit:
    """One command of a line, as typed."""

    text: str
    nodes: tuple[str, ...]  # the header's mnemonics in upper case; '*IDN' for a common command
    rooted: bool  # begins at the root of the tree: a leading ':', or a common command
    common: bool
    query: bool
    parameters: tuple[str, ...]


def units_of(line: str) -> list[Unit]:
    """The units of a line, separated by ';' (empty ones are skipped)."""
    if not all(" " <= character <= "~" or character == "\t" for character in line):
        raise ScpiError(COMMAND_ERROR, "the line holds characters that are not printable ASCII")
    return [_unit(part.strip()) for part in line.split(";") if part.strip()]


def _unit(text: str) -> Unit:
    header = _HEADER.match(text)
    rest = text[header.end() :] if header else text
    if header is None or (rest and not rest[0].isspace()):
        raise ScpiError(SYNTAX_ERROR, f"{text}: not a command header")
    head = header.group()
    rest = rest.strip()
    parameters = tuple(part.strip() for part in rest.split(",")) if rest else ()
    if "" in parameters:
        raise ScpiError(SYNTAX_ERROR, f"{text}: an empty parameter")
    common = head.startswith("*")
    return Unit(
        text=text,
        nodes=tuple(head.rstrip("?").lstrip(":").upper().split(":")),
        rooted=common or head.startswith(":"),
        common=common,
        query=head.endswith("?"),
        parameters=parameters,
    )


class Pattern:
    """A command's header as SCPI documents it, "[SOURce:]VOLTage[:LEVel]?":
    a mnemonic is taken in its short form (the capitals) or its long form,
    in any letter case; nodes in brackets may be left out."""

    def __init__(self, text: str) -> None:
        self.text = text
        self.query = text.endswith("?")
        self._nodes = []
        for optional, required in _PATTERN_NODE.findall(text.rstrip("?")):
            name = optional or required
            short = re.match(r"\*?[A-Z]+", name)
            assert short is not None, f"{name} in {text} has no short form"
            self._nodes.append((bool(optional), short.group(), name.upper()))

    def matches(self, nodes: tuple[str, ...], start: int = 0) -> bool:
        if start == len(self._nodes):
            return not nodes
        optional, short, long = self._nodes[start]
        if nodes and nodes[0] in (short, long) and self.matches(nodes[1:], start + 1):
            return True
        return optional and self.matches(nodes, start + 1)


def is_word(text: str, *words: str) -> bool:
    """Whether `text` is one of `words` (upper case), in any letter case."""
    return text.upper() in words


def number(text: str, suffixes: Mapping[str, int]) -> decimal.Decimal:
    """The value of a decimal number, exactly as written, scaled to the base
    unit by one of `suffixes` (each with its power of ten; in any letter
    case) or by none."""
    found = _NUMBER.fullmatch(text)
    if found is None:
        code = SYNTAX_ERROR if text[0] in _NUMBER_START else ILLEGAL_PARAMETER_VALUE
        raise ScpiError(code, f"{text} is not a number")
    scale = {suffix.upper(): exponent for suffix, exponent in suffixes.items()}
    suffix = found.group(2).upper()
    if suffix and suffix not in scale:
        takes = f"the unit is {' or '.join(suffixes)}" if suffixes else "the number takes no unit"
        raise ScpiError(ILLEGAL_PARAMETER_VALUE, f"{text}: {takes}")
    try:
        return decimal.Decimal(re.sub(r"\s", "", found.group(1))).scaleb(scale.get(suffix, 0), context=_EXACT)
    except decimal.DecimalException:  # an exponent beyond what a Decimal holds
        raise ScpiError(DATA_OUT_OF_RANGE, f"{text}: its exponent is out of range") from None
