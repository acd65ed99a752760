"""Lab workflows on a supply, for scripts: a sweep, a ramp and a profile run.

Each takes an open `qm4410.Supply`, a started `qm4410.Guard` over one
(whose limits, slew rates and trips then hold for what the workflow sends:
a set-point change larger than a slew rate allows is ramped at that rate,
which stretches the run; a trip ends it with the output off, `stopped_by`
"trip"), or an opened driver (`qm4410.QM4410`, or anything with its
set_out_voltage, set_out_current, set_ouput_mode and read_dev_status), and
returns an `Outcome` with its rows; each row also goes to `on_row` as it is
made, and `on_progress` hears how far the run has come. Nothing is printed
here (a driver given as it is prints its replies to set-points, as it
always does; a Supply logs them). Bad input raises
ValueError or TypeError before anything is sent; a supply that stops
answering raises `NoAnswerError`, which carries the rows recorded until
then, once the output has been switched off if it could be."""

from ..supply.setpoints import Span
from .iv_plot import draw_iv
from .profile import Plan, PlannedStep, Problem, Profile, ProfileError, Step, plan
from .profile_file import load_profile, parse_profile
from .profile_run import run_profile
from .ramp import ramp
from .results import NoAnswerError, Outcome, Progress, Row
from .session import switch_off
from .sweep import plan_sweep, sweep

__all__ = [
    "NoAnswerError",
    "Outcome",
    "Plan",
    "PlannedStep",
    "Problem",
    "Profile",
    "ProfileError",
    "Progress",
    "Row",
    "Span",
    "Step",
    "draw_iv",
    "load_profile",
    "parse_profile",
    "plan",
    "plan_sweep",
    "ramp",
    "run_profile",
    "sweep",
    "switch_off",
]
