"""Profiles in CSV: a header row naming the columns, then a step a row.

Places name the line and the column as a field number (a spreadsheet's
column), counted from 1."""

import csv

from .profile import FIELDS, Place, Profile, StepsBuilder


def read_csv_profile(text: str, source: str) -> Profile:
    builder = StepsBuilder(source, text_cells=True)
    reader = csv.reader(text.splitlines(keepends=True), skipinitialspace=True)
    columns: list[str] | None = None
    try:
        for cells in reader:
            line = reader.line_num
            if not any(cell.strip() for cell in cells):
                continue  # a blank line, or one of empty cells a spreadsheet left at the end
            if columns is None:
                columns = _header(builder, [cell.strip().lower() for cell in cells], line)
            elif len(cells) != len(columns):
                builder.problem((line, None), f"{len(cells)} cells where the header has {len(columns)}")
            else:
                given: dict[str, tuple[object, Place]] = {
                    name: (cell.strip(), (line, number))
                    for number, (name, cell) in enumerate(zip(columns, cells), 1)
                    if name in FIELDS and cell.strip()
                }
                builder.add(given, line)
    except csv.Error as error:
        builder.problem((reader.line_num, None), f"not readable as CSV: {error}")
    return builder.profile()


def _header(builder: StepsBuilder, names: list[str], line: int) -> list[str]:
    for number, name in enumerate(names, 1):
        if name not in FIELDS:
            builder.problem((line, number), f"unknown column {name!r}; the columns are {', '.join(FIELDS)}")
        elif names.index(name) != number - 1:
            builder.problem((line, number), f"the column {name!r} is there twice")
    for name in FIELDS:
        if name not in names:
            builder.problem((line, None), f"the column {name!r} is missing")
    return names
