"""What the layer reads of each supported interpreter's private state.

The layer decides at compile time how it finds an instance's attributes and
a small int's value on 3.11, 3.12 and 3.13; the attribute tests prove the
results, these that the fast forms are really in use on every version
(a layout that goes unrecognised would silently fall back, and only the
benchmarks would notice).
"""
import sys

import pytest


class Plain:
    pass


def test_instances_attributes_are_found_in_their_values(t):
    o = Plain()
    o.x, o.y = 1, 2
    assert t.has_inline_values(o) is True, f"no inline values found on {sys.version}"
    assert t.has_inline_values(Plain()) is True


def test_values_given_up_for_a_dict_are_not_read(t):
    o = Plain()
    o.x = 1
    vars(o)["x"] = 2        # the dict is the store to go through from now on
    assert t.has_inline_values(o) is False
    assert t.read_x(o) == 2
    t.write_x(o, 3)
    assert vars(o) == {"x": 3}


BIG = 2 ** 62
@pytest.mark.parametrize("v, value", [
    (0, 0), (1, 1), (-1, -1), (7, 7), (2 ** 30 - 1, 2 ** 30 - 1), (2 ** 30, 2 ** 30),
    (-(2 ** 30), -(2 ** 30)), (BIG, BIG), (-BIG, -BIG), (2 ** 63 - 1, 2 ** 63 - 1)])
def test_int_equals(t, v, value):
    assert t.int_equals(v, value) is True
    assert t.int_equals(v, value + 1 if value < 2 ** 63 - 1 else 0) is False
    assert t.int_equals(-v - 1, value) is False


def test_int_equals_beyond_long_long(t):
    assert t.int_equals(2 ** 64, 0) is False
    assert t.int_equals(-(2 ** 64), -1) is False
