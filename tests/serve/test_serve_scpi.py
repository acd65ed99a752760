"""The SCPI endpoint through PyVISA, as an instrument tool sees it, on a
server with limits: every command and query, every refusal by its number."""

import re

import pytest
import serial
from fakes import READ_STATUS, RESTORE_FACTORY, SET_CURRENT, SET_MAX_VOLTAGE, SET_VOLTAGE, request
from serving import RFC2217_CLIENT_WARNINGS, scpi_client

pytestmark = RFC2217_CLIENT_WARNINGS


@pytest.fixture(scope="module")
def server(start_server):
    # 4 ohms, so that the limits allow over-temperature (above 80 W).
    return start_server("--sim", "--load", "4", "--limit-voltage", "30", "--limit-current", "10")


@pytest.fixture
def scpi(visa, server):
    """A client of its own, which must leave no error unread."""
    client = scpi_client(visa, server)
    yield client
    assert client.query("SYST:ERR?") == '0,"No error"'
    client.close()


def test_identity(scpi):
    assert scpi.query("*IDN?") == "QM4410,4410,000000001,102"


@pytest.mark.parametrize(
    "setting, query, answer",
    [
        ("VOLT 5", "VOLT?", "5.000"),
        ("SOURce:VOLTage:LEVel:IMMediate:AMPLitude 2.5", "SOUR:VOLT:LEV:IMM:AMPL?", "2.500"),
        ("volt 1500 mV", "voltage?", "1.500"),
        ("VOLT .5", "VOLT?", "0.500"),
        ("VOLT 12.5E0V", "VOLT?", "12.500"),
        ("VOLT MAX", "VOLT?", "30.000"),
        ("VOLT MIN", "VOLT?", "0.000"),
        ("VOLT:PROT 12", "VOLT:PROT:LEV?", "12.000"),
        ("SOUR:VOLT:PROT MAXimum", "VOLTage:PROTection?", "30.000"),
        ("CURR 0.25", "CURR?", "0.250"),
        ("CURR:LEV 300 mA", "SOUR:CURR:LEV:IMM:AMPL?", "0.300"),
        ("CURR MAX", "CURR?", "10.000"),
        (None, "VOLT? MAX", "30.000"),
        (None, "CURR? MIN", "0.000"),
        ("APPL 5,0.5", "APPL?", "5.000,0.500"),
        ("CURR 0.5;APPLy 6", "APPLy?", "6.000,0.500"),  # the current limit as it was
        ("OUTP ON", "OUTP?", "1"),
        ("OUTP:STAT 0", "OUTP:STAT?", "0"),
        ("outp 1", "OUTP?", "1"),
        ("OUTP OFF", "OUTP?", "0"),
        ("SYST:REM", "STAT:REC?", r".*,REMOTE"),
        ("SYSTem:LOCal", "STAT:REC?", r".*,LOCAL"),
        (None, "*OPC?", "1"),
    ],
)
def test_each_setting_reads_back_from_the_supply(scpi, setting, query, answer):
    if setting:
        scpi.write(setting)
    assert re.fullmatch(answer, scpi.query(query))


def test_measurements_and_the_questionable_bits(scpi):
    # 30 V into 4 ohms: 7.5 A and 225 W, regulating the voltage (1), too hot (16).
    scpi.write("SYST:REM;VOLT:PROT 30;VOLT 30;CURR 10;OUTP ON")
    assert scpi.query("MEAS:VOLT?;MEAS:CURR?;MEAS:POW?;STAT:QUES?") == "30.000;7.500;225.000000;17"
    # 1 A at most: 4 V, regulating the current (2).
    scpi.write("CURR 1")
    assert (
        scpi.query("MEAS:SCAL:VOLT:DC?;MEAS:SCAL:CURR:DC?;MEAS:SCAL:POW:DC?;STAT:QUES:COND?")
        == "4.000;1.000;4.000000;2"
    )
    assert scpi.query("MEAS:ALL?") == "4.000,1.000,4.000000"
    assert scpi.query("STAT:REC?") == "1.000,4.000,1.000,30.000,30.000,1,0,CC,0,REMOTE"
    scpi.write("OUTP OFF;SYST:LOC")
    assert scpi.query("STAT:QUES?") == "0"
    # The events latched on the way, read once.
    assert scpi.query("STAT:QUES:EVEN?;STAT:QUES:EVEN?") == "19;0"


def test_several_commands_on_a_line_and_the_command_tree(scpi):
    assert scpi.query("VOLT 2;CURR 1;OUTP OFF;*OPC?") == "1"
    # PROT is found below SOUR:VOLT, where the unit before it ended; :CURR? at the root.
    assert scpi.query("SOUR:VOLT:LEV 3;PROT 12;:CURR?;VOLT?;VOLT:PROT?") == "1.000;3.000;12.000"


@pytest.mark.parametrize(
    "unit, code",
    [
        (b"FOO", -113),
        (b"MEAS:VOLT", -113),  # a query only
        (b"*IDN? 1", -108),
        (b"VOLT 1,2", -108),
        (b"VOLT", -109),
        (b"VOLT 31", -222),  # above --limit-voltage
        (b"APPL 5,10.001", -222),
        (b"APPL 1,2,3", -108),
        (b"VOLT -1", -222),
        (b"VOLT:PROT 30.5", -222),
        (b"CURR 10001 mA", -222),  # above --limit-current
        (b"VOLT 5 A", -224),
        (b"OUTP MAYBE", -224),
        (b"VOLT DEF", -224),
        (b"VOLT? 5", -224),
        (b"*RST", -221),  # the factory settings may lie beyond the limits
        (b"*ESE 256", -222),
        (b"STAT:OPER:ENAB -1", -222),
        (b"VOLT 5..0", -102),
        (b"VOLT::LEV 5", -102),
        (b"VOLT 5,", -102),
        (b"VOLT \xe95", -100),
    ],
)
def test_a_refused_command_is_queued_by_number_and_its_line_sends_nothing(scpi, unit, code):
    scpi.write("VOLT 3")
    scpi.write_raw(b"VOLT 1;" + unit + b"\n")
    assert scpi.query("SYST:ERR?").startswith(f'{code},"')
    assert scpi.query("VOLT?") == "3.000"


def test_the_error_queue_keeps_the_oldest_and_tells_of_its_overflow(scpi):
    for n in range(20):
        scpi.write(f"NOSUCH{n}")
    errors = [scpi.query("SYST:ERR:NEXT?") for _ in range(16)]
    assert errors == [f'-113,"Undefined header;NOSUCH{n}"' for n in range(15)] + ['-350,"Queue overflow"']
    scpi.write("NOSUCH")
    scpi.write("*CLS")


def test_a_line_of_a_megabyte_is_refused_and_the_connection_goes_on(scpi):
    scpi.write("VOLT 3")
    scpi.write_raw(b"VOLT 1;" + b"X" * 2**20 + b"\n")
    assert scpi.query("SYST:ERR?") == '-363,"Input buffer overrun;a line longer than 4096 bytes was refused"'
    assert scpi.query("VOLT?") == "3.000"


def test_limits_hold_for_rfc2217_clients_too(scpi, server):
    scpi.write("VOLT:PROT 20;VOLT 3;CURR 1")
    refused = [request(word, 30_001) for word in (SET_MAX_VOLTAGE, SET_VOLTAGE)]
    refused += [request(SET_CURRENT, 10_001), request(RESTORE_FACTORY)]
    with serial.serial_for_url(server.rfc2217, timeout=1) as client:
        client.write(b"".join(refused) + request(READ_STATUS))
        # The first reply is the status's: the refused requests got none.
        assert client.read(26)[2] == READ_STATUS
        client.timeout = 0.4
        assert client.read(26) == b""
    assert scpi.query("VOLT?;CURR?;VOLT:PROT?") == "3.000;1.000;20.000"


def test_the_voltage_is_held_to_the_supply_s_maximum_voltage_below_the_limit(scpi, server):
    scpi.write("VOLT 3;VOLT:PROT 20")
    try:
        assert scpi.query("VOLT? MAX") == "20.000"
        scpi.write("VOLT 20.001")
        assert scpi.query("SYST:ERR?") == (
            '''-222,"Data out of range;the voltage 20.001 V is outside the supply's range, 0 to 20.000 V"'''
        )
        scpi.write("VOLT:PROT 25;VOLT 25")  # raised first on the same line, it bounds the voltage after it
        # Over RFC 2217 too: a maximum voltage the supply took bounds the voltage from then on.
        with serial.serial_for_url(server.rfc2217, timeout=1) as client:
            client.write(request(SET_MAX_VOLTAGE, 26_000) + request(SET_VOLTAGE, 26_000))
            assert [client.read(26)[2] for _ in range(2)] == [SET_MAX_VOLTAGE, SET_VOLTAGE]
        assert scpi.query("VOLT?;VOLT? MAX") == "26.000;26.000"
    finally:
        scpi.write("VOLT 3;VOLT:PROT 30")
