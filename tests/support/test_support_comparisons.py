"""is_nan: ``value != value`` as the expression computes it, compared with the interpreter's."""

from __future__ import annotations

import decimal
import math

import numpy as np
import pytest


class DiffersFromItself:
    """Unequal to everything, itself included: no shortcut for the same object may hide it."""

    def __ne__(self, other):
        return True


class EqualToEverything:
    def __eq__(self, other):
        return True

    def __ne__(self, other):
        return False


class TruthyAnswer:
    """`!=` answers with an object of its own, whose truth decides."""

    def __ne__(self, other):
        return [0]


class FloatSubclass(float):
    pass


VALUES = [
    pytest.param(math.nan, id="float-nan"),
    pytest.param(-math.nan, id="float-negative-nan"),
    pytest.param(math.inf, id="float-inf"),
    pytest.param(0.0, id="float-zero"),
    pytest.param(-2.5, id="float"),
    pytest.param(FloatSubclass("nan"), id="float-subclass-nan"),
    pytest.param(np.float64("nan"), id="numpy-float64-nan"),
    pytest.param(np.float32("nan"), id="numpy-float32-nan"),
    pytest.param(np.float32(1.5), id="numpy-float32"),
    pytest.param(decimal.Decimal("NaN"), id="decimal-nan"),
    pytest.param(decimal.Decimal("1.25"), id="decimal"),
    pytest.param(3, id="int"),
    pytest.param(True, id="bool"),
    pytest.param("nan", id="text"),
    pytest.param(None, id="none"),
    pytest.param(DiffersFromItself(), id="differs-from-itself"),
    pytest.param(EqualToEverything(), id="equal-to-everything"),
    pytest.param(TruthyAnswer(), id="truthy-answer"),
]


@pytest.mark.parametrize("value", VALUES)
def test_is_nan_is_the_value_unequal_to_itself(st, value):
    assert st.is_nan(value) is (bool(value != value))


def test_the_comparison_error_propagates(st):
    class Failing:
        def __ne__(self, other):
            raise LookupError("no comparison")

    with pytest.raises(LookupError, match="no comparison"):
        st.is_nan(Failing())


def test_a_signalling_decimal_nan_raises_as_the_comparison_does(st):
    value = decimal.Decimal("sNaN")
    with pytest.raises(decimal.InvalidOperation):
        value != value  # noqa: B015 (the comparison itself is what is checked)
    with pytest.raises(decimal.InvalidOperation):
        st.is_nan(value)


def test_a_falsy_answer_whose_truth_fails_raises(st):
    class NoTruth:
        def __bool__(self):
            raise ArithmeticError("no truth")

    class Answers:
        def __ne__(self, other):
            return NoTruth()

    with pytest.raises(ArithmeticError, match="no truth"):
        st.is_nan(Answers())
