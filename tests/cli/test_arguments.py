"""The command's pure parts, in this process: what a command line may not
say, the exit status each kind of ending gets, and the text forms."""

import errno
import signal

import pytest
from running import FILE_ERROR, USAGE, assert_fails

from qm4410.cli import render
from qm4410.cli.app import ending_of
from qm4410.cli.exits import CommandError, Stopped
from qm4410.supply import NoReply, PortGone, RefusalKind, Refused, SwitchOffFailed
from qm4410.workflows import NoAnswerError


@pytest.mark.parametrize(
    "options, status, named",
    [
        (["status", "--port", ""], USAGE, "argument --port/-p: the port name is empty"),
        (["status"], USAGE, "give --port PORT or --sim"),
        (["monitor", "--interval", "0"], USAGE, "argument --interval: the interval must be above 0"),
        (["monitor", "--duration", "inf"], USAGE, "argument --duration: the duration must be a finite number"),
        (["monitor", "--interval", "soon"], USAGE, "argument --interval: soon is not a number"),
        (["monitor", "--plot", "{tmp}/run.jpg"], USAGE, "argument --plot: .*run.jpg: the format comes from"),
        (["monitor", "--plot", "{tmp}/run.png", "--plot-size", "100000x100000"], USAGE, "argument --plot-size"),
        (["monitor", "--plot", "{tmp}/run.png", "--plot-size", "10x10"], USAGE, "argument --plot-size"),
        (["monitor", "--append"], USAGE, "--append needs --csv FILE or --jsonl FILE"),
        (["ramp", "--to", "1", "--rate", "1", "--overwrite"], USAGE, "--overwrite needs --csv FILE or --jsonl FILE"),
        (["monitor", "--csv", "{tmp}/x.csv", "--append", "--overwrite"], USAGE, "--overwrite: not allowed with"),
        (["status", "--load", "4"], USAGE, "--load is an option of the virtual supply: add --sim"),
        (["status", "--load", "4", "--drop-every", "2"], USAGE, "--load, --drop-every are options of the virtual"),
        (["status", "--sim", "--drop-every", "0"], USAGE, "argument --drop-every"),
        (["status", "--sim", "--load", "-1"], USAGE, "argument --load"),
        (["set", "--sim", "--voltage", "5", "--line-speed", "4800x"], USAGE, "argument --line-speed"),
        (["set"], USAGE, "nothing to set"),
        # Set-points refused by the supply core's own rule, in its words.
        (
            ["set", "--current", "70"],
            USAGE,
            r"argument --current: the current limit 70\.0 A is outside the supply's range, 0 to 65\.535 A$",
        ),
        (["set", "--current", "65.536"], USAGE, r"the current limit 65\.536 A is outside"),
        (["set", "--voltage", "-0.001"], USAGE, r"argument --voltage: the voltage -0\.001 V is outside"),
        (
            ["set", "--max-voltage", "4294967.296"],
            USAGE,
            r"the maximum voltage 4294967\.296 V is outside what the "
            r"supply can be sent, 0 to 4294967\.295 V",
        ),
        (["set", "--voltage", "nan"], USAGE, "the voltage must be a finite number, not nan"),
        (["set", "--current", "inf"], USAGE, "the current limit must be a finite number, not inf"),
        (["set", "--output", "ON"], USAGE, "argument --output: invalid choice"),
        (["set", "--mode", "pc"], USAGE, "argument --mode: invalid choice"),
        (["sweep", "--voltage", "5:1:1", "--current", "1"], USAGE, "argument --voltage: .*leads away from 1.0 V"),
        (["sweep", "--voltage", "0:30:0.001", "--current", "1"], USAGE, "argument --voltage: .*more than 10000"),
        (["sweep", "--voltage", "0:5", "--current", "1"], USAGE, "neither a value nor START:STOP:STEP"),
        (["sweep", "--voltage", "0:5:1", "--current", "0:1:0.1"], USAGE, "exactly one of --voltage and --current"),
        (["sweep", "--voltage", "0:5:1", "--current", "70"], USAGE, "argument --current: .*outside the supply's"),
        (["sweep", "--voltage", "0:5:1", "--current", "1", "--stop-current", "0"], USAGE, "must be above 0"),
        (["ramp", "--to", "5", "--rate", "0"], USAGE, "the rate must be above 0"),
        (["ramp", "--to", "5", "--rate", "1", "--voltage", "3"], USAGE, "give --current besides"),
        (["ramp", "--to-current", "1", "--rate", "1", "--current", "3"], USAGE, "give --voltage besides"),
        (["ramp", "--to", "5", "--rate", "1", "--output", "maybe"], USAGE, "argument --output: invalid choice"),
        (["ramp", "--to-current", "1", "--rate", "1", "--from", "70"], USAGE, "argument --from: the ramp's start 70"),
        # The guard's rates and thresholds, by the core's checks.
        (
            ["sweep", "--voltage", "0:1:1", "--current", "1", "--slew-voltage", "0"],
            USAGE,
            "argument --slew-voltage: the voltage slew rate must be above 0",
        ),
        (
            ["set", "--voltage", "1", "--trip-current", "nan"],
            USAGE,
            "argument --trip-current: the trip current must be a finite number",
        ),
        (["serve", "--rfc2217", "localhost:70000"], USAGE, "argument --rfc2217: localhost:70000 is not"),
        (["serve", "--scpi", ":5025"], USAGE, "argument --scpi"),
        (["serve", "--allow", "10.0.0.0/33"], USAGE, "argument --allow"),
        (["serve", "--bind", " "], USAGE, "argument --bind: the address is empty"),
        (["serve", "--limit-voltage", "-1"], USAGE, "argument --limit-voltage"),
        (["serve", "--watchdog", "0"], USAGE, "argument --watchdog: the watchdog time must be above 0"),
        (["set", "--output", "on", "--soft-start"], USAGE, "--soft-start needs --slew-voltage"),
        # A file the run could not write at its end is refused before it starts.
        (["monitor", "--plot", "{tmp}/no/run.png"], FILE_ERROR, "cannot write .*/no/run.png: there is no folder"),
        (["monitor", "--csv", "{tmp}/no/run.csv"], FILE_ERROR, "cannot write .*/no/run.csv: there is no folder"),
        (["monitor", "--jsonl", "{tmp}"], FILE_ERROR, "cannot write .*: it is a folder"),
        (
            ["sweep", "--voltage", "0:1:1", "--current", "1", "--csv", "{tmp}/no/iv.csv"],
            FILE_ERROR,
            "cannot write .*/no/iv.csv: there is no folder",
        ),
    ],
)
def test_bad_values_are_refused_before_anything_is_sent_or_written(cli, silent_line, tmp_path, options, status, named):
    options = [option.format(tmp=tmp_path) for option in options]
    where = [] if options == ["status"] or "--sim" in options or "--port" in options else ["--port", silent_line.path]
    result = cli(*options, *where)
    assert_fails(result, status, named)
    assert ("usage: qm4410 " in result.stderr) == (status == USAGE)
    assert result.stdout == "" and silent_line.received() == b""
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "error, status, line",
    [
        (Refused(RefusalKind.PORT_BUSY, "COM3 is in use"), 5, "qm4410: error: COM3 is in use"),
        (Refused(RefusalKind.HOST_UNKNOWN, "the host is not known"), 18, "qm4410: error: the host is not known"),
        (
            NoReply("the supply on COM3 did not answer the status request"),
            6,
            "qm4410: error: the supply on COM3 did not answer the status request",
        ),
        (SwitchOffFailed("the output may still be on", None), 8, "qm4410: error: the output may still be on"),
        (
            PortGone("lost the connection to rfc2217://lab:4001: reset"),
            11,
            "qm4410: error: lost the connection to rfc2217://lab:4001: reset",
        ),
        (NoAnswerError("the supply stopped answering", [], True), 6, "qm4410: error: the supply stopped answering"),
        (CommandError(13, "cannot write x.csv"), 13, "qm4410: error: cannot write x.csv"),
        (Stopped(signal.SIGTERM), 143, "qm4410: stopped by SIGTERM"),
        (KeyboardInterrupt(), 130, "qm4410: interrupted"),
        (
            OSError(errno.ENOSPC, "No space left on device", "log.csv"),
            13,
            "qm4410: error: log.csv: No space left on device",
        ),
    ],
)
def test_every_ending_is_one_line_and_its_status(error, status, line):
    ending = ending_of(error)
    assert ending.status == status and ending.line() == line


def test_a_workflow_whose_port_went_away_is_a_lost_line():
    try:
        try:
            raise PortGone("lost the line to the supply: [Errno 5] Input/output error")
        except PortGone as gone:
            raise NoAnswerError("the supply stopped answering (the line failed ...)", [], False) from gone
    except NoAnswerError as error:
        assert ending_of(error).status == 11


@pytest.mark.parametrize("error", [ValueError("a fault of the command's own"), OSError(errno.EIO, "no file named")])
def test_a_fault_of_the_command_itself_keeps_its_traceback(error):
    assert ending_of(error) is None


@pytest.mark.parametrize(
    "seconds, shown", [(0.2, "1 s"), (12, "12 s"), (59.5, "1:00"), (245, "4:05"), (3723, "1:02:03")]
)
def test_a_time_left_is_rounded_up_so_it_never_reads_0_s_too_soon(seconds, shown):
    assert render.duration(seconds) == shown


def test_what_a_terminal_would_eat_is_shown_as_escapes():
    assert (
        render.identity({"model": "44\x0010", "SN": "AB\x1b[2J", "soft_version": 1})
        == "44\\x0010 SN AB\\x1b[2J, software 1"
    )
