import math

import numpy as np
import pandas as pd
import pytest

from implementations import implementation


@pytest.fixture
def m(impl):
    return implementation("metrics", impl)

SQRT252 = math.sqrt(252)


def as_array(values):
    return np.array(values, dtype=float)


def as_series(values):
    return pd.Series(values, dtype=float)


both = pytest.mark.parametrize("make", [as_array, as_series], ids=["ndarray", "series"])


@both
def test_zero_volatility_gives_nan(m, make):
    flat = make([0.01, 0.01, 0.01])
    assert np.isnan(m.sharpe_ratio(flat))
    assert np.isnan(m.modigliani_ratio(flat, make([0.01, 0.02, 0.03])))
    r = make([0.01, -0.02, 0.03])
    assert np.isnan(m.information_ratio(r, make([0.01, -0.02, 0.03])))


@pytest.mark.parametrize(
    "make, expected", [(as_array, SQRT252 * 2), (as_series, SQRT252 * 0.02 / math.sqrt(2e-4))]
)
def test_sharpe_follows_the_deviation_of_the_input_type(m, make, expected):
    got = m.sharpe_ratio(make([0.01, 0.03]))
    assert got == pytest.approx(expected, rel=1e-12)
    assert round(float(got), 3) == (31.749 if make is as_array else 22.450)


@both
def test_ratios_match_the_formulas(m, make):
    rng = np.random.default_rng(7)
    r, b = rng.normal(0.001, 0.01, 252), rng.normal(0.0005, 0.008, 252)
    R, B = make(r), make(b)
    assert m.sharpe_ratio(R, days=1) == pytest.approx(R.mean() / R.std(), rel=1e-12)
    d = R - B
    assert m.information_ratio(R, B) == pytest.approx(SQRT252 * d.mean() / d.std(), rel=1e-12)
    assert m.information_ratio(returns=R, benchmark_returns=B, days=12) == pytest.approx(
        math.sqrt(12) * d.mean() / d.std(), rel=1e-12
    )
    expected_m2 = SQRT252 * R.mean() / R.std() * B.std()
    assert m.modigliani_ratio(R, B) == pytest.approx(expected_m2, rel=1e-12)


@both
def test_days_is_truncated_except_in_modigliani(m, make):
    r, b = make([0.01, 0.03, -0.02]), make([0.0, 0.01, 0.0])
    assert m.sharpe_ratio(r, 252.9) == m.sharpe_ratio(r, 252)
    assert m.information_ratio(r, b, np.float64(252.9)) == m.information_ratio(r, b, 252)
    assert m.modigliani_ratio(r, b, 252.9) == pytest.approx(
        math.sqrt(252.9) * r.mean() / r.std() * b.std(), rel=1e-12
    )
    assert m.modigliani_ratio(r, b, 252.9) != m.modigliani_ratio(r, b, 252)


@pytest.mark.parametrize("name, args", [("sharpe_ratio", 1), ("information_ratio", 2)])
def test_days_must_be_a_number(m, name, args):
    fn = getattr(m, name)
    r = as_array([0.01, 0.03])
    with pytest.raises(TypeError, match="days"):
        fn(*[r] * args, days="252")
    with pytest.raises(TypeError):
        m.modigliani_ratio(r, r, days="252")  # fails inside np.sqrt


def test_single_element_series_gives_nan_from_the_division(m):
    assert np.isnan(m.sharpe_ratio(pd.Series([0.01])))


@both
def test_benchmark_without_volatility_gives_zero(m, make):
    got = m.modigliani_ratio(make([0.01, 0.03]), make([0.02, 0.02]))
    assert got == 0.0 and not np.isnan(got)


def test_series_skip_nan_and_align_on_index(m):
    r = pd.Series([0.01, np.nan, 0.03])
    assert m.sharpe_ratio(r) == m.sharpe_ratio(pd.Series([0.01, 0.03]))
    assert np.isnan(m.sharpe_ratio(np.array([0.01, np.nan, 0.03])))
    a = pd.Series([0.01, 0.02, 0.05], index=[0, 1, 2])
    b = pd.Series([0.0, 0.01, 0.0], index=[1, 2, 3])
    d = (a - b).dropna()
    assert m.information_ratio(a, b, 1) == pytest.approx(d.mean() / d.std())


def test_zero_test_uses_equality_of_the_result(m):
    class Vol:
        __array_ufunc__ = None  # numpy scalars defer to __rtruediv__

        def __init__(self, zero):
            self.zero = zero

        def __eq__(self, other):
            return self.zero and other == 0

        def __rtruediv__(self, other):
            return "divided"

    class Returns:
        def __init__(self, zero):
            self.zero = zero

        def std(self):
            return Vol(self.zero)

        def mean(self):
            return 1.0

    assert np.isnan(m.sharpe_ratio(Returns(True)))
    assert m.sharpe_ratio(Returns(False)) == "divided"


def test_inputs_must_offer_the_statistics(m):
    with pytest.raises(AttributeError):
        m.sharpe_ratio([0.01, 0.03])
    with pytest.raises(ValueError):
        m.information_ratio(as_array([0.01, 0.03]), as_array([0.01, 0.02, 0.03]))
