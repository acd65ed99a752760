"""Profiles read from CSV and TOML: the steps they give, and every problem
named by its line and column before anything could be sent."""

import pytest

from qm4410.workflows import ProfileError, load_profile, plan

CSV = """duration,voltage,current,output
10,5.0,1.0,on
5,6.5,,
2.5,,0.25,
1,,,off
"""

# Columns in any order and case, spaces after the commas, blank lines.
CSV_SHUFFLED = """Output, Duration, Voltage, Current

on, 10, 5, 1
, 5, 6.5,
, 2.5, , 0.25
off, 1, ,
"""

TOML_TABLES = """# a charge profile
[[step]]
duration = 10
voltage = 5.0
current = 1.0
output = "on"

[[step]]
duration = 5
voltage = 6.5

[[step]]
duration = 2.5
current = 0.25  # a comment

[[step]]
duration = 1
output = "off"
"""

TOML_INLINE = """step = [
  {duration = 10, voltage = 5.0, current = 1.0, output = "on"},
  {duration = 5, voltage = 6.5},
  {duration = 2.5, current = 0.25},
  {duration = 1, output = "off"},
]
"""


def written(tmp_path, suffix, text):
    path = tmp_path / f"profile{suffix}"
    path.write_text(text)
    return path


@pytest.mark.parametrize(
    "suffix, text",
    [(".csv", CSV), (".csv", CSV_SHUFFLED), (".toml", TOML_TABLES), (".toml", TOML_INLINE)],
    ids=["csv", "csv-shuffled", "toml-tables", "toml-inline"],
)
def test_empty_cells_keep_the_step_befores_values(tmp_path, suffix, text):
    profile = load_profile(written(tmp_path, suffix, text))
    assert [step[:4] for step in profile.steps] == [
        (10.0, 5.0, 1.0, "on"),
        (5.0, 6.5, 1.0, "on"),
        (2.5, 6.5, 0.25, "on"),
        (1.0, 6.5, 0.25, "off"),
    ]
    schedule = plan(profile, repeat=2)
    assert [(p.cycle, p.number, p.start_s) for p in schedule.steps[3:6]] == [(1, 4, 17.5), (2, 1, 18.5), (2, 2, 28.5)]
    assert schedule.total_s == 37.0


HEADER = "duration,voltage,current,output\n"


@pytest.mark.parametrize(
    "suffix, text, problems",
    [
        (".csv", "duration,voltage,current\n1,2,3\n", ["1: the column 'output' is missing"]),
        (
            ".csv",
            "duration,voltage,current,outptu,voltage\n",
            [
                "1:4: unknown column 'outptu'",
                "1:5: the column 'voltage' is there twice",
                "1: the column 'output' is missing",
            ],
        ),
        (".csv", HEADER + "1,5,1,on\n-2,,,\n", ["3:1: the duration must not be negative"]),
        (".csv", HEADER + "1,-5,1,on\n", ["2:2: the voltage -5.0 V is outside what the supply can be sent"]),
        (".csv", HEADER + "1,5,70,on\n", ["2:3: the current 70.0 A is outside the supply's range, 0 to 65.535 A"]),
        (".csv", HEADER + "1,five,1,on\n", ["2:2: the voltage 'five' is not a number"]),
        (".csv", HEADER + "1,5,1,maybe\n", ["2:4: the output is 'on' or 'off', not 'maybe'"]),
        (".csv", HEADER + ",5,1,on\n", ["2: the first step needs a duration"]),
        (".csv", HEADER + "1,5,1\n", ["2: 3 cells where the header has 4"]),
        (".csv", HEADER, ["1: the profile has no steps"]),
        # The whole file is checked: every problem is told at once.
        (
            ".csv",
            HEADER + "1,5,1,on\n-1,x,,\n2,1e99,,\n",
            [
                "3:1: the duration must not be negative",
                "3:2: the voltage 'x' is not a number",
                "4:2: the voltage 1e+99 V is outside",
            ],
        ),
        (".toml", "[[step]]\nduration = \n", ["2:12: not readable as TOML: Invalid value"]),
        (".toml", "[[step]]\nduration = 1\n\n[[step]]\nduration =  -3\n", ["5:13: the duration must not be negative"]),
        (
            ".toml",
            "step = [\n  {duration = 1, voltage = 5},\n  {duration = 2, voltage = 99999999},\n]\n",
            ["3:28: the voltage 99999999 V is outside"],
        ),
        (".toml", "[[step]]\nduration = 1\nvolts = 5\n", ["3:1: unknown key 'volts'; a step has duration, voltage"]),
        (".toml", '[[step]]\nduration = "10"\n', ["2:12: the duration must be a number, not str"]),
        (".toml", "[[step]]\nduration = 1\noutput = true\n", ["3:10: the output is 'on' or 'off', not True"]),
        (".toml", "[[step]]\nduration = 1" + "0" * 400 + "\n", ["2:12: the duration 1" + "0" * 400 + " is too large"]),
        (".toml", "repeat = 3\n[[step]]\nduration = 1\n", ["1:1: unknown key 'repeat'"]),
        (".toml", "[step]\nduration = 1\n", ["1:1: step must be an array of tables"]),
        (
            ".toml",
            '[[step]]\nvoltage = 5 # duration = 1\nnote = "duration = 2"\n',
            ["3:1: unknown key 'note'", "1: the first step needs a duration"],
        ),
        (".toml", "", ["1: the profile has no steps"]),
    ],
)
def test_problems_are_named_by_line_and_column(tmp_path, suffix, text, problems):
    path = written(tmp_path, suffix, text)
    with pytest.raises(ProfileError) as raised:
        load_profile(path)
    lines = str(raised.value).splitlines()
    assert len(lines) == len(problems), lines
    for line, problem in zip(lines, problems):
        assert line.startswith(f"{path}:{problem}"), (line, problem)


def test_a_profile_is_csv_or_toml(tmp_path):
    with pytest.raises(ValueError, match=r"a profile is a \.csv or a \.toml file"):
        load_profile(written(tmp_path, ".json", "{}"))
