"""What Python code sees of the module and the class: names, docs, signatures, binding."""

import inspect
import pydoc
import subprocess
import sys
import types
from unittest import mock

import pytest
from fakes import TEMPLATE, frame

import qm4410
from qm4410 import QM4410

MODULE_DOC = """
Basic Usage:
    qm4400 = QM4410('/dev/ttyUSB0')
    if qm4400.open():
        # turn on Power
        qm4400.set_work_mode('remote')
        qm4400.set_out_voltage(1.222) # set voltage 1.222V
        qm4400.set_out_current(0.888) # set current 0.888A
        qm4400.set_ouput_mode('on') # turn on Power

        # read the device real status
        qm4400.read_dev_status()

        # turn off Power
        qm4400.set_ouput_mode('off')
        qm4400.set_work_mode('local')
"""

CONSTANTS = [
    ("CMD_TEMPLATE", TEMPLATE),
    ("CMD_WORD_SET_WORK_MODE", 0x20),
    ("CMD_WORD_SET_OUT_MODE", 0x21),
    ("CMD_WORD_SET_MAX_OUT_VOLTAGE", 0x22),
    ("CMD_WORD_SET_OUT_VOLTAGE", 0x23),
    ("CMD_WORD_SET_OUT_CURRENT", 0x24),
    ("CMD_WORD_SET_NEW_ADDR", 0x25),
    ("CMD_WORD_READ_DEV_REAL_STATUS", 0x26),
    ("CMD_WORD_READ_DEV_VERSION", 0x31),
    ("CMD_WORD_RESTORE_FACTORY", 0x32),
    ("CMD_WORD_DEV_RETURN", 0x12),
    ("CMD_LENGTH", 26),
]

_I = "\n        "
# name -> (signature, docstring); in the order the class defines them
METHODS = {
    "__init__": (
        "(self, serial_port: 'str')",
        " initialize serial port"
        + _I
        + ":param serial_port:"
        + _I
        + "For Windows, 'COM3', 'COM4' ..."
        + _I
        + "For Linux/MacOS, '/dev/ttyUSB0', '/dev/ttyUSB1'..."
        + _I,
    ),
    "_QM4410__check_crc": (
        "(self, data: 'list') -> 'bool'",
        " Verify the CRC of the received message.\n" + _I + ":param data: List of bytes representing"
        " the message received "
        + _I
        + "             from the device."
        + _I
        + ":return: True if the CRC is valid, False otherwise."
        + _I,
    ),
    "_QM4410__cal_crc": (
        "(self, data: 'list') -> 'None'",
        _I
        + "Calculate the CRC of the send command.\n"
        + _I
        + ":param data: List of bytes representing the message to be sended."
        + _I,
    ),
    "_QM4410__read": ("(self)", _I + "Read serial data" + _I),
    "_QM4410__write_and_read": (
        "(self, cmd: 'list')",
        _I
        + "send command and read response data and check crc"
        + _I
        + ":param cmd: the command send to serial port"
        + _I,
    ),
    "show_device_version": (
        "(self) -> 'dict'",
        "return a dict"
        + _I
        + "{"
        + _I
        + "    'model':4411,"
        + _I
        + "    'number':076787041"
        + _I
        + "    'sfot_version':373"
        + _I
        + "}"
        + _I,
    ),
    "set_work_mode": (
        "(self, mode='remote') -> 'bool'",
        " set deivce work mode"
        + _I
        + "@mode: 'remote' means PC controll mode"
        + _I
        + "@mode: 'local' means local manual controll"
        + _I
        + "return: True if set sucess, otherwise False"
        + _I,
    ),
    "set_ouput_mode": (
        "(self, mode='off') -> 'bool'",
        " turn on or off the device power ouput"
        + _I
        + "@mode: 'off' means turn off the power"
        + _I
        + "@mode: 'on' means turn on the power"
        + _I
        + "return: True if set sucess, otherwise False"
        + _I,
    ),
    "set_voltage_max": (
        "(self, voltage: 'float') -> 'bool'",
        " set the device max voltage ouput value"
        + _I
        + "@voltage: maximum output voltage value, unit: V (float) "
        + _I
        + "    1.1 means 1.1V"
        + _I
        + "return: True if set sucess, otherwise False"
        + _I,
    ),
    "set_out_voltage": (
        "(self, voltage: 'float') -> 'bool'",
        " set output voltage "
        + _I
        + "@voltage: output voltage value, unit: V (float) "
        + _I
        + "    1.1 means 1.1V"
        + _I
        + "return: True if set sucess, otherwise False"
        + _I,
    ),
    "set_out_current": (
        "(self, current: 'float') -> 'bool'",
        " set output current limitation"
        + _I
        + "@current: the max of power current output, unit: A (float) "
        + _I
        + "    0.8 means 0.8A"
        + _I
        + "return: True if set sucess, otherwise False"
        + _I,
    ),
    "set_new_addr": (
        "(self, address: 'int') -> 'bool'",
        " set new address of the device"
        + _I
        + "@address: set the address of the device"
        + _I
        + "return: True if set sucess, otherwise False"
        + _I,
    ),
    "restore_factory": (
        "(self) -> 'bool'",
        " resotre the device to factory settings" + _I + "return: True if set sucess, otherwise False" + _I,
    ),
    "read_dev_status": (
        "(self) -> 'dict'",
        " read current device status"
        + _I
        + "return a dict if success, otherwise None:"
        + _I
        + "{"
        + _I
        + _I.join(
            [
                "    'current_real': 0.2",
                "    'voltage_real': 3.29",
                "    'current_set': 1.0",
                "    'voltage_max_set': 5.0",
                "    'voltage_set': 3.3",
                "    'out_status': 'on'",
                "    'beyond_temp': ''",
                "    'out_mode': 'CV'",
                "    'fan_speed': '3'",
                "    'work_mode': 'remote'",
            ]
        )
        + _I
        + "}"
        + _I,
    ),
    "_QM4410__read_device_version": (
        "(self)",
        " Read device version"
        + _I
        + "device version: module, hardware, software"
        + _I
        + ":return dict:"
        + _I
        + "{"
        + _I
        + "    'module_version': 2,"
        + _I
        + "    'hard_version': 50,"
        + _I
        + "    'soft_version': 32,"
        + _I
        + "}"
        + _I,
    ),
    "__enter__": (
        "(self) -> 'QM4410'",
        "open the serial port for a with block\n:return QM4410: this driver, open\n"
        ":raise ConnectionError: if open() fails; its text is the reason open() printed",
    ),
    "__exit__": (
        "(self, exc_type, exc_value, traceback) -> 'None'",
        "close the serial port at the end of the with block, however it ends\n"
        ":return None: an exception that ended the block is not suppressed",
    ),
}


def test_module_doc_and_globals():
    assert qm4410.__doc__ == MODULE_DOC
    public = [
        name
        for name, value in vars(qm4410).items()
        if not name.startswith("_") and not getattr(value, "__name__", "").startswith("qm4410.")
    ]  # submodules imported later
    assert public == ["platform", "serial", "time", "subprocess", "QM4410"]
    import platform
    import time

    import serial

    assert (qm4410.platform, qm4410.serial, qm4410.time, qm4410.subprocess) == (platform, serial, time, subprocess)


@pytest.mark.parametrize(
    "code, expect_error",
    [
        (
            "import qm4410\nassert [n for n in vars(qm4410) if n[0] != '_'] == "
            "['platform', 'serial', 'time', 'subprocess', 'QM4410']",
            None,
        ),
        ("import sys; sys.modules['serial'] = None; import qm4410", "ModuleNotFoundError"),
    ],
)
def test_import_in_fresh_interpreter(code, expect_error):
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.stdout == ""
    if expect_error is None:
        assert run.returncode == 0 and run.stderr == ""
    else:
        assert run.returncode != 0 and expect_error in run.stderr


def test_class_and_constants():
    assert (QM4410.__module__, QM4410.__qualname__, QM4410.__doc__, QM4410.__bases__) == (
        "qm4410",
        "QM4410",
        None,
        (object,),
    )
    names = ["_QM4410__" + n for n, _ in CONSTANTS]
    assert [n for n in vars(QM4410) if n.startswith("_QM4410__CMD")] == names
    for name, (_, value) in zip(names, CONSTANTS):
        assert getattr(QM4410, name) == value and type(getattr(QM4410, name)) is type(value), name
    methods = [n for n in vars(QM4410) if n in METHODS]
    assert methods == list(METHODS)


def test_new_instance():
    drv = QM4410("/dev/ttyUSB0")
    assert vars(drv) == {
        "port": "/dev/ttyUSB0",
        "_QM4410__addr": 255,
        "_QM4410__product_model": "",
        "_QM4410__product_number": "",
        "_QM4410__soft_version": 0,
    }
    assert not hasattr(drv, "ser")
    drv.extra = 1  # an ordinary object with a __dict__
    assert QM4410(serial_port="COM3").port == "COM3"


@pytest.mark.parametrize(
    "arg, type_name", [(None, "NoneType"), (type("S", (str,), {})("COM3"), "S"), (b"COM3", "bytes"), (3, "int")]
)
def test_constructor_refuses_non_str(arg, type_name):
    with pytest.raises(TypeError) as err:
        QM4410(arg)
    assert str(err.value) == f"Argument 'serial_port' has incorrect type (expected str, got {type_name})"


@pytest.mark.parametrize("name", list(METHODS))
def test_method_surface(name):
    sig, doc = METHODS[name]
    func = vars(QM4410)[name]
    plain = name.replace("_QM4410__", "__")  # a private method keeps its unmangled name
    assert func.__name__ == plain and func.__qualname__ == "QM4410." + plain
    assert func.__doc__ == doc
    assert str(inspect.signature(func)) == sig
    expected = {
        p.name: p.annotation
        for p in inspect.signature(func).parameters.values()
        if p.annotation is not inspect.Parameter.empty
    }
    if "->" in sig:
        expected["return"] = sig.rsplit("-> ", 1)[1].strip("'")
    assert func.__annotations__ == expected
    assert all(type(v) is str for v in func.__annotations__.values())
    # binds like a function
    drv = QM4410("x")
    bound = getattr(drv, name)
    assert isinstance(bound, types.MethodType) and bound.__self__ is drv and bound.__func__ is func
    assert getattr(QM4410, name) is func
    assert str(inspect.signature(bound)) == sig.replace("self, ", "").replace("(self)", "()")


def test_annotation_examples():
    assert QM4410.set_new_addr.__annotations__ == {"address": "int", "return": "bool"}
    assert QM4410.set_out_current.__annotations__ == {"current": "float", "return": "bool"}
    assert QM4410.set_work_mode.__annotations__ == {"return": "bool"}
    assert QM4410._QM4410__write_and_read.__annotations__ == {"cmd": "list"}
    assert QM4410.set_work_mode.__defaults__ == ("remote",)
    assert QM4410.set_ouput_mode.__defaults__ == ("off",)


@pytest.mark.parametrize(
    "call, word",
    [
        (lambda d: d.set_new_addr(), "address"),
        (lambda d: d.set_new_addr(1, 2), "2"),
        (lambda d: d.set_new_addr(addr=1), "addr"),
        (lambda d: d.set_out_voltage(voltage=1.0, current=1.0), "current"),
        (lambda d: d.set_work_mode("remote", "x"), "2"),
        (lambda d: d.read_dev_status(1), "1"),
        (lambda d: d._QM4410__cal_crc(), "data"),
    ],
)
def test_bad_call_shapes_raise_type_error_naming_the_problem(drv, port, call, word):
    with pytest.raises(TypeError) as err:
        call(drv)
    assert word in str(err.value)
    assert port.writes() == []


def test_help_renders_parameter_lists():
    text = pydoc.render_doc(QM4410, renderer=pydoc.plaintext)
    for line in [
        "set_new_addr(self, address: 'int') -> 'bool'",
        "set_work_mode(self, mode='remote') -> 'bool'",
        "set_out_current(self, current: 'float') -> 'bool'",
        "__init__(self, serial_port: 'str')",
    ]:
        assert line in text


def test_class_is_patchable(drv, port):
    with mock.patch.object(QM4410, "_QM4410__write_and_read", return_value=frame(1, 0x12)) as fake:
        assert drv.set_work_mode("local") is True
    assert fake.call_count == 1 and port.log == []
    with mock.patch.object(QM4410, "read_dev_status", return_value="patched"):
        assert drv.read_dev_status() == "patched"
    assert "read_dev_status" not in vars(drv)
    assert vars(QM4410)["read_dev_status"].__name__ == "read_dev_status"


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
def test_method_names_stay_strings(attribute):
    method = QM4410.set_new_addr
    for bad in (None, 3):
        with pytest.raises(TypeError, match=f"{attribute} must be set to a string object"):
            setattr(method, attribute, bad)
    with pytest.raises(TypeError):
        delattr(method, attribute)
    # The argument errors are still worded from the unchanged name.
    with pytest.raises(TypeError, match=r"QM4410\.set_new_addr\(\) missing"):
        QM4410("COM3").set_new_addr()


def test_methods_can_be_weakly_referenced():
    import weakref

    drv = QM4410("COM3")
    assert weakref.WeakMethod(drv.open)() == drv.open
    assert weakref.ref(QM4410.open)() is QM4410.open
