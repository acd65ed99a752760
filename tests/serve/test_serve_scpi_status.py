"""Status reporting over SCPI through PyVISA, as instrument frameworks use
it: IEEE 488.2's common commands and status byte, SCPI's error queue and
its QUEStionable and OPERation registers, each client's own, over the
supply's conditions, which all share; a ramp as the operation *OPC waits
for; *RST; a supply that stops answering."""

import pytest
from serving import RFC2217_CLIENT_WARNINGS, scpi_client, until, vanishing

pytestmark = RFC2217_CLIENT_WARNINGS


@pytest.fixture(scope="module")
def server(start_server, tmp_path_factory):
    control = tmp_path_factory.mktemp("status") / "control"
    server = start_server("--sim", "--load", "inf", "--slew-voltage", "4", "--control", control)

    def change(line):
        with open(control, "w") as pipe:  # the simulator holds it open: never waits
            pipe.write(line + "\n")

    server.change = change
    return server


@pytest.fixture
def connect(visa, server):
    clients = []

    def connect():
        clients.append(scpi_client(visa, server))
        return clients[-1]

    yield connect
    for client in clients:
        client.close()


@pytest.mark.parametrize(
    "lines, query, answer",
    [
        ((), "*IDN?;SYST:VERS?;*TST?;*OPT?", "QM4410,4410,000000001,102;1999.0;0;0"),
        (("*OPC",), "*ESR?;*ESR?", "1;0"),  # read, then cleared
        (("FOO",), "*ESR?", "32"),  # a command error
        (("VOLT -1",), "*ESR?", "16"),  # an execution error
        (("VOLT 1;" + "X" * 5000,), "*ESR?", "8"),  # a device-dependent error: the input buffer overran
        (("FOO",), "*STB?", "4"),  # the error queue is not empty
        (("FOO", "*ESE 32"), "*STB?", "36"),  # and the enabled event summarised
        (("FOO", "*ESE 32", "*SRE 32"), "*STB?", "100"),  # and the master summary
        (("FOO", "*ESE 32", "*WAI;*CLS"), "*STB?;*ESR?;*ESE?", "0;0;32"),  # *CLS keeps the enables
        ((), "*IDN?;*STB?", "QM4410,4410,000000001,102;16"),  # an answer waiting
        (("*SRE 255", "*ESE 254.6"), "*SRE?;*ESE?", "191;255"),  # no master summary in the enable
        (("*ESE 256",), "SYST:ERR?", '-222,"Data out of range;256: the register takes 0 to 255"'),
        (
            ("FOO", "BAR"),
            "SYST:ERR:COUN?;SYST:ERR:ALL?;SYST:ERR:COUN?",
            '2;-113,"Undefined header;FOO",-113,"Undefined header;BAR";0',
        ),
        ((), "SYST:ERR:ALL?", '0,"No error"'),
        (("STAT:QUES:ENAB 1552", "STAT:OPER:ENABle 768"), "STAT:QUES:ENAB?;STATus:OPERation:ENABle?", "1552;768"),
        (("STAT:QUES:ENAB 16;:STAT:OPER:ENAB 8", "STAT:PRES"), "STAT:QUES:ENAB?;STAT:OPER:ENAB?", "0;0"),
    ],
)
def test_common_commands_and_registers(connect, lines, query, answer):
    client = connect()
    for line in lines:
        client.write(line)
    assert client.query(query) == answer


def test_each_client_has_registers_of_its_own(connect):
    first, second = connect(), connect()
    first.write("FOO")
    first.write("*ESE 32;*SRE 4;STAT:OPER:ENAB 8")
    assert second.query("*STB?;*ESR?;*ESE?;*SRE?;STAT:OPER:ENAB?") == "0;0;0;0;0"
    assert first.query("*STB?") == "100"


def test_conditions_are_shared_and_each_client_latches_their_events(connect, server):
    watching, reading = connect(), connect()
    watching.write("STAT:QUES:ENAB 16")
    server.change("overtemp on")
    until(lambda: reading.query("STAT:QUES:COND?") == "16")
    server.change("overtemp off")
    until(lambda: reading.query("STAT:QUES:COND?") == "0")
    # The over-temperature came and went between two of its own readings:
    # the other client's caught it, for both.
    assert watching.query("*STB?") == "8"
    assert watching.query("STAT:QUES:EVEN?;STAT:QUES:EVEN?") == "16;0"
    assert watching.query("*STB?") == "0"
    assert reading.query("STAT:QUES:EVEN?") == "16"
    assert connect().query("STAT:QUES:EVEN?") == "0"  # it was over before this client came


def test_a_slewed_set_point_is_the_operation_in_progress(connect):
    client = connect()
    # 1 V at 0.5 V/s: two seconds on the way.
    assert client.query("VOLT 0;*OPC?;VOLT:SLEW 0.5;VOLT 1;*OPC;STAT:OPER:COND?;*ESR?") == "1;8;0"
    assert client.query("*OPC?;VOLT?;STAT:OPER:COND?;*ESR?;STAT:OPER?") == "1;1.000;0;1;8"
    client.write("VOLT:SLEW DEF;VOLT 0;*WAI")


def test_reset_stops_ramps_restores_the_factory_settings_and_keeps_the_registers(connect):
    client = connect()
    client.write("SYST:REM;*ESE 4;VOLT:SLEW 0.5;OUTP ON;VOLT 2")
    # The ramp's next step would have undone the factory voltage.
    assert client.query("*RST;OUTP?;VOLT?;VOLT:SLEW?;STAT:OPER:COND?;*ESE?;SYST:ERR?") == '0;0.000;4;0;4;0,"No error"'


def test_a_supply_that_stops_answering_is_questionable(start_server, visa, qm4410_sim, tmp_path):
    server = start_server("--port", vanishing(qm4410_sim, tmp_path, 5), "--reconnect")
    client = scpi_client(visa, server)
    client.write("STAT:QUES:ENAB 1024")
    assert client.query("*TST?") == "0"
    until(lambda: client.query("*TST?") == "1")
    # The error queue holds the loss; the questionable summary tells it.
    assert client.query("*STB?") == "12"
    assert client.query("STAT:QUES?;STAT:QUES:EVEN?") == "1024;1024"
    assert client.query("SYST:ERR?").startswith('-240,"Hardware error;')
    client.close()
