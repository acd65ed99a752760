"""The frame checksum: the low 8 bits of the sum of all items but the last."""

import pytest
from fakes import TEMPLATE
from hypothesis import given
from hypothesis import strategies as st

from qm4410 import QM4410

DRV = QM4410("/dev/null")
cal = DRV._QM4410__cal_crc
check = DRV._QM4410__check_crc

byte_lists = st.lists(st.integers(0, 255), min_size=1, max_size=40)


def test_the_template_s_checksum_and_a_worked_example():
    """The checksum is stored in the last item, in place, worked out by hand here."""
    command = list(TEMPLATE)
    assert cal(command) is None
    assert command == list(TEMPLATE[:25]) + [0xC9]
    command = [0xAA, 0x05, 0x26] + [0] * 23
    cal(command)
    assert command[25] == 0xD5 and check(command) is True


@given(byte_lists)
def test_a_stored_checksum_always_checks(items):
    """Whatever the items, storing the checksum changes only the last one, and then the check passes."""
    data = list(items)
    cal(data)
    assert data[:-1] == items[:-1] and data[-1] == sum(items[:-1]) % 256
    assert check(data) is True


@given(st.lists(st.integers(0, 255), min_size=26, max_size=26), st.integers(0, 25), st.integers(1, 255))
def test_any_single_change_is_detected(items, index, delta):
    cal(items)
    items[index] = (items[index] + delta) % 256
    assert check(items) is False


@given(st.lists(st.integers(0, 255), min_size=26, max_size=26), st.integers(0, 23), st.integers(0, 255))
def test_compensating_changes_pass_the_plain_sum(items, index, delta):
    cal(items)
    items[index] = (items[index] + delta) % 256
    items[index + 1] = (items[index + 1] - delta) % 256
    assert check(items) is True


@pytest.mark.parametrize(
    "items, stored",
    [
        ([7], 0),
        ([True, True, 0], 2),
        ([2**70 + 3, 2**64, 0], 3),
        ([-1, 0], 255),
        ([1] * 24 + [0], 24),
        ([1] * 26 + [0], 26),
        ([0xAA, 0xFF, 0x20] + [0] * 22 + [9], 0xC9),
    ],
)
def test_exact_integer_semantics_and_any_length(items, stored):
    data = list(items)
    cal(data)
    assert data == items[:-1] + [stored] and type(data[-1]) is int
    assert check(data) is True


@pytest.mark.parametrize(
    "items, valid",
    [
        ([0], True),
        ([3], False),
        ([True, 1], True),
        ([1, True], True),
        ([255, 1, 0], True),
        ([255, 1, 256], False),
        ([1, 1.0], True),
    ],
)
def test_check_compares_by_equality(items, valid):
    before = list(items)
    assert check(items) is valid
    assert items == before


@pytest.mark.parametrize("method", [cal, check])
def test_unsummable_items_raise_and_change_nothing(method):
    data = [0xAA, "x", 3, 0]
    with pytest.raises(TypeError):
        method(data)
    assert data == [0xAA, "x", 3, 0]
    with pytest.raises(IndexError):
        method([])


@pytest.mark.parametrize("method, name", [(cal, "data"), (check, "data")])
@pytest.mark.parametrize(
    "arg, type_name",
    [(tuple(TEMPLATE), "tuple"), (None, "NoneType"), (type("L", (list,), {})(TEMPLATE), "L"), (b"\xaa", "bytes")],
)
def test_exact_list_type(method, name, arg, type_name):
    with pytest.raises(TypeError) as err:
        method(arg)
    assert str(err.value) == f"Argument '{name}' has incorrect type (expected list, got {type_name})"
    if isinstance(arg, list):
        assert arg == list(TEMPLATE)
    assert method(data=[1, 1]) in (None, True)
