"""Bad input at the VISA doors, from raw sockets: each gets its error (or
its connection ends) and the server goes on serving others. HiSLIP's
message types and codes are pyvisa-py's (an implementation of its own of
the protocol), the calls of VXI-11's core channel pyvisa-py's client's."""

import socket
import struct

import pytest
from pyvisa_py.protocols import hislip, rpc
from pyvisa_py.protocols.hislip import ERRORCODE, FATALERRORCODE, MESSAGETYPE
from pyvisa_py.tcpip import Vxi11CoreClient
from serving import SCPI_TIMEOUT_MS

IDENTITY = "QM4410,4410,000000001,102"
HEADER = struct.Struct("!2sBBIQ")
WITHIN_S = 15  # generous: each case ends far sooner
MAX_MESSAGE_SIZE = 1 << 20  # what the server tells at AsyncMaximumMessageSize
DEVICE_CORE, CORE_VERSION, DEVICE_WRITE, DEVICE_READ = 0x0607AF, 1, 11, 12


@pytest.fixture(scope="module")
def server(start_server):
    return start_server("--sim", "--hislip", "0", "--vxi11", "0", "--idle-timeout", "2")


def hislip_address(server):
    host, rest = server.hislip.split("::")[1:3]
    return host, int(rest.split(",")[1])


def vxi11_address(server):
    """The core channel's port: in the resource string, or from the
    portmapper that the server registered with when it has none there."""
    host = server.vxi11.split("::")[1]
    if "," in host:
        host, port = host.split(",")
        return host, int(port)
    mapper = rpc.TCPPortMapperClient(host)
    try:
        return host, mapper.get_port((DEVICE_CORE, CORE_VERSION, rpc.IPPROTO_TCP, 0))
    finally:
        mapper.close()


def send(connection, kind, control=0, parameter=0, payload=b""):
    connection.sendall(HEADER.pack(b"HS", MESSAGETYPE[kind], control, parameter, len(payload)) + payload)


def exactly(connection, count):
    data = b""
    while len(data) < count:
        piece = connection.recv(count - len(data))
        if not piece:
            return None
        data += piece
    return data


def receive(connection):
    """(type, control code, parameter, payload), or None once it is closed."""
    header = exactly(connection, HEADER.size)
    if header is None:
        return None
    _, kind, control, parameter, length = HEADER.unpack(header)
    return hislip.MESSAGETYPE_STR[kind], control, parameter, exactly(connection, length)


def connect(address):
    return socket.create_connection(address, timeout=WITHIN_S)


def fatal_then_closed(connection, code):
    kind, control, _, _ = receive(connection)
    assert (kind, control) == ("FatalError", FATALERRORCODE[code])
    assert receive(connection) is None


def session(server):
    """A raw HiSLIP session, both channels open."""
    sync = connect(hislip_address(server))
    send(sync, "Initialize", parameter=0x0100_0000, payload=b"hislip0")
    _, _, parameter, _ = receive(sync)
    asynchronous = connect(hislip_address(server))
    send(asynchronous, "AsyncInitialize", parameter=parameter & 0xFFFF)
    assert receive(asynchronous)[0] == "AsyncInitializeResponse"
    return sync, asynchronous


def query(sync, line, message_id=0xFFFF_FF00):
    send(sync, "DataEnd", parameter=message_id, payload=line)
    kind, _, parameter, payload = receive(sync)
    assert (kind, parameter) == ("DataEnd", message_id)
    return payload


def poorly_formed_header(server):
    with connect(hislip_address(server)) as connection:
        connection.sendall(b"XS" + bytes(14))
        fatal_then_closed(connection, "Poorly formed message header")


def data_before_initialize(server):
    with connect(hislip_address(server)) as connection:
        send(connection, "DataEnd", payload=b"*IDN?\n")
        fatal_then_closed(connection, "Invalid Initialization sequence")


def an_unknown_session(server):
    with connect(hislip_address(server)) as connection:
        send(connection, "AsyncInitialize", parameter=0xFFFF)
        fatal_then_closed(connection, "Invalid Initialization sequence")


def data_before_the_asynchronous_channel(server):
    with connect(hislip_address(server)) as connection:
        send(connection, "Initialize", parameter=0x0100_0000, payload=b"hislip0")
        assert receive(connection)[0] == "InitializeResponse"
        send(connection, "DataEnd", payload=b"*IDN?\n")
        fatal_then_closed(connection, "Attempt to use connection without both channels established")


def an_initialize_never_finished(server):
    with connect(hislip_address(server)) as connection:
        connection.sendall(b"HS\0")
        fatal_then_closed(connection, "Invalid Initialization sequence")


def a_payload_beyond_the_largest_message(server):
    sync, asynchronous = session(server)
    with sync, asynchronous:
        send(sync, "DataEnd", payload=b"X" * (MAX_MESSAGE_SIZE + 1))
        kind, control, _, _ = receive(sync)
        assert (kind, control) == ("Error", ERRORCODE["Message too large"])
        assert query(sync, b"*IDN?\n") == IDENTITY.encode() + b"\n"


def messages_it_does_not_take(server):
    sync, asynchronous = session(server)
    with sync, asynchronous:
        for connection, kind, code in (
            (sync, 50, "Unrecognized Message Type"),
            (sync, 200, "Unrecognized Vendor Defined Message"),
            (asynchronous, MESSAGETYPE["DataEnd"], "Unrecognized Message Type"),
        ):
            connection.sendall(HEADER.pack(b"HS", kind, 0, 0, 3) + b"abc")
            assert receive(connection)[:2] == ("Error", ERRORCODE[code])
        send(asynchronous, "AsyncLock", control=7)
        assert receive(asynchronous)[:2] == ("Error", ERRORCODE["Unrecognized control code"])
        assert query(sync, b"*IDN?\n") == IDENTITY.encode() + b"\n"


def vxi11_calls_on_no_link_and_of_any_size(server):
    host, port = vxi11_address(server)
    client = Vxi11CoreClient(host, port, 5000)
    try:
        assert client.device_write(12345, 1000, 0, 8, b"*IDN?\n") == (4, 0)  # invalid link identifier
        assert client.destroy_link(12345) == 4
        assert client.create_link(1, False, 0, "inst9")[0] == 3  # device not accessible
        error, link, _, most = client.create_link(1, False, 0, "inst0")
        assert error == 0 and most > 0
        assert client.device_write(link, 1000, 0, 8, b"*IDN?\n") == (0, 6)
        # As much as asked for at most: here all there is, whatever the size asked.
        assert client.device_read(link, 0xFFFF_FFFF, 1000, 0, 0, 0) == (0, 4, IDENTITY.encode() + b"\n")
        assert client.device_read(link, 0xFFFF_FFFF, 100, 0, 0, 0)[0] == 15  # nothing to read: I/O time-out
        assert client.destroy_link(link) == 0
    finally:
        client.close()


def vxi11_records_it_cannot_take(server):
    with connect(vxi11_address(server)) as connection:

        def call(program, procedure, arguments=b"", rpc_version=2, xid=7):
            header = struct.pack("!10I", xid, 0, rpc_version, program, CORE_VERSION, procedure, 0, 0, 0, 0)
            body = header + arguments
            connection.sendall(struct.pack("!I", 0x8000_0000 | len(body)) + body)
            length = struct.unpack("!I", exactly(connection, 4))[0] & 0x7FFF_FFFF
            return struct.unpack(f"!{length // 4}I", exactly(connection, length))

        assert call(DEVICE_CORE, DEVICE_WRITE, bytes(200_000))[:6] == (7, 1, 0, 0, 0, 4)  # GARBAGE_ARGS
        assert call(DEVICE_CORE, DEVICE_READ, b"\0\0")[:6] == (7, 1, 0, 0, 0, 4)  # arguments cut short
        assert call(0x123456, 0)[:6] == (7, 1, 0, 0, 0, 1)  # PROG_UNAVAIL
        assert call(DEVICE_CORE, 99)[:6] == (7, 1, 0, 0, 0, 3)  # PROC_UNAVAIL
        assert call(DEVICE_CORE, 0, rpc_version=3)[:4] == (7, 1, 1, 0)  # MSG_DENIED, RPC_MISMATCH


def a_flood_of_connections(server):
    """More connections than an endpoint lets in, each sending nothing: to
    make room for each newcomer the idlest is hung up, so a client that
    comes after them is served."""
    flood = [connect(hislip_address(server)) for _ in range(80)]
    try:
        sync, asynchronous = session(server)
        with sync, asynchronous:
            assert query(sync, b"*IDN?\n") == IDENTITY.encode() + b"\n"
    finally:
        for connection in flood:
            connection.close()


@pytest.mark.parametrize(
    "case",
    [
        poorly_formed_header,
        data_before_initialize,
        an_unknown_session,
        data_before_the_asynchronous_channel,
        an_initialize_never_finished,
        a_payload_beyond_the_largest_message,
        messages_it_does_not_take,
        vxi11_calls_on_no_link_and_of_any_size,
        vxi11_records_it_cannot_take,
        a_flood_of_connections,
    ],
)
def test_bad_input_gets_its_error_and_the_others_are_served(server, visa, case):
    case(server)
    # (A client connected all along may have been hung up meanwhile, as the
    # idlest by the flood, or for the idle time-out by the slowest case.)
    with visa.open_resource(server.hislip, read_termination="\n", timeout=SCPI_TIMEOUT_MS) as other:
        assert other.query("*IDN?") == IDENTITY


@pytest.mark.parametrize("offered, agreed", [(0x0100, 0x0100), (0x0101, 0x0101), (0x0200, 0x0200), (0x0300, 0x0200)])
def test_the_version_agreed_is_the_lower_of_the_two(server, offered, agreed):
    with connect(hislip_address(server)) as connection:
        send(connection, "Initialize", parameter=offered << 16 | 0x5859, payload=b"hislip0")
        kind, control, parameter, _ = receive(connection)
        assert (kind, control, parameter >> 16) == ("InitializeResponse", 0, agreed)
