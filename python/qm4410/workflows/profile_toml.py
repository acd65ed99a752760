"""Profiles in TOML: an array of tables named step, one a step,

    [[step]]
    duration = 10
    voltage = 5.0
    current = 1.0
    output = "on"

or the same as inline tables, `step = [{duration = 10, voltage = 5.0}, ...]`.
A key left out is a cell left empty. tomllib keeps no places, so they are
found again in the text (see toml_places)."""

import tomllib

from .profile import FIELDS, Profile, StepsBuilder
from .toml_places import KeyPlace, Places, decode_problem


def read_toml_profile(text: str, source: str) -> Profile:
    builder = StepsBuilder(source, text_cells=False)
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        builder.problem(*decode_problem(error, text))
        return builder.profile()
    places = Places(text, "step")
    unknown = KeyPlace(1, None, None)
    for key in document:
        if key != "step":
            builder.problem(places.top.get(key, unknown).key, f"unknown key {key!r}; a profile is [[step]] tables")
    steps = document.get("step", [])
    if not isinstance(steps, list) or not all(isinstance(table, dict) for table in steps):
        builder.problem(places.top.get("step", unknown).key, "step must be an array of tables, [[step]]")
        return builder.profile()
    for index, table in enumerate(steps):
        where = places.tables[index] if index < len(places.tables) else {"": unknown}
        start = where[""]
        for key in table:
            if key not in FIELDS:
                builder.problem(where.get(key, start).key, f"unknown key {key!r}; a step has {', '.join(FIELDS)}")
        given = {key: (value, where.get(key, start).value) for key, value in table.items() if key in FIELDS}
        builder.add(given, start.line)
    return builder.profile()
