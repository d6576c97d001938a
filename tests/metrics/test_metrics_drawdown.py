import numpy as np
import pandas as pd
import pytest

from implementations import implementation


@pytest.fixture
def m(impl):
    return implementation("metrics", impl)


def pandas_steps(portfolio_value, window=252):
    df = pd.Series(portfolio_value, name="pv").to_frame()
    roll_max = df["pv"].rolling(window, min_periods=1).max()
    daily_drawdown = df["pv"] / roll_max - 1.0
    return daily_drawdown.rolling(window, min_periods=1).min()


def assert_identical(got, expected):
    pd.testing.assert_series_equal(got, expected, check_exact=True, check_index_type=True)
    a, b = got.to_numpy(), expected.to_numpy()
    both = ~np.isnan(b)
    assert (np.signbit(a[both]) == np.signbit(b[both])).all()


KINDS = {
    "list": lambda v: v.tolist(),
    "ndarray": lambda v: v,
    "series": lambda v: pd.Series(v, name="value"),
    "dated": lambda v: pd.Series(v, index=pd.date_range("2024-01-01", periods=len(v))),
}


@pytest.mark.parametrize("kind", KINDS)
def test_example(m, kind):
    got = m.rolling_maximum_drawdown(KINDS[kind](np.array([100, 120, 90, 130])), window=2)
    assert got.tolist() == [0.0, 0.0, -0.25, -0.25]
    assert got.name == "pv"
    assert_identical(got, pandas_steps(KINDS[kind](np.array([100, 120, 90, 130])), 2))


def test_default_window_measures_from_the_start(m):
    values = [100.0, 80.0, 120.0, 60.0] + [70.0] * 600
    got = m.rolling_maximum_drawdown(values)
    assert got.iloc[3] == -0.5 and got.iloc[251] == -0.5
    assert got.iloc[252] == -0.5  # the 120 peak is still inside the window
    assert got.iloc[-1] == 0.0  # only the flat 70s remain
    assert_identical(got, pandas_steps(values))


def random_values(rng, n):
    choice = rng.integers(4)
    if choice == 0:  # repeated values
        v = rng.choice([50.0, 100.0, 100.0, 75.0], n)
    elif choice == 1:
        v = rng.integers(0, 200, n)
    else:
        v = rng.lognormal(4.0, 0.5, n)
    if v.dtype.kind == "f" and n and rng.random() < 0.6:
        v[rng.random(n) < 0.2] = np.nan
    if v.dtype.kind == "f" and n and rng.random() < 0.2:
        v[rng.integers(n)] = rng.choice([np.inf, -np.inf, 0.0, -5.0])
    return v


@pytest.mark.parametrize("seed", range(25))
def test_matches_pandas_steps(m, seed):
    rng = np.random.default_rng(seed)
    for _ in range(10):
        n = int(rng.integers(0, 80))
        v = random_values(rng, n)
        if rng.random() < 0.3:
            v = v.astype(rng.choice(["float32", "int32", "uint8", "int64"]) if v.dtype.kind == "i"
                         else "float32")
        for window in {1, 2, 3, 7, max(n, 1), n + 5, 252}:
            for kind, make in KINDS.items():
                if kind == "list" and v.dtype == np.float32:
                    continue
                got = m.rolling_maximum_drawdown(make(v), window)
                assert_identical(got, pandas_steps(make(v), window))


def test_strided_and_large_inputs(m):
    rng = np.random.default_rng(1)
    v = rng.lognormal(4.0, 0.3, 20001)
    v[::97] = np.nan
    assert_identical(m.rolling_maximum_drawdown(v[::3], 50), pandas_steps(v[::3], 50))
    assert_identical(m.rolling_maximum_drawdown(v), pandas_steps(v))
    strided = pd.Series(v[::-2], index=pd.Index(np.arange(10001) * 2), copy=False)
    assert not strided.to_numpy().flags.contiguous
    assert_identical(m.rolling_maximum_drawdown(strided, 1000), pandas_steps(strided, 1000))


@pytest.mark.parametrize("value, window", [
    (pd.Series([1.0, 2.0, None, 4.0], dtype="Float64"), 2),
    (pd.Series([3, 1, 2], dtype="int64").astype(object), 2),
    ([True, False, True], 2),
    (np.array([1.0, 3.0, 2.0]), 2.9),
    (np.array([1.0, 3.0, 2.0]), np.int64(2)),
    (np.array([1.0, 3.0, 2.0]), True),
    (np.array([], dtype=float), 5),
    (np.array([1, 3, 2], dtype="float16"), 2),
    (np.array([1, 3, 2], dtype=">i4"), 2),
    (np.array([1, 3, 2], dtype=np.longdouble), 2),
    (np.array([5.0, 6.0]), 2**63 - 1),
])
def test_other_inputs_follow_pandas(m, value, window):
    assert_identical(m.rolling_maximum_drawdown(value, window), pandas_steps(value, int(window)))


@pytest.mark.parametrize("value, window", [
    ([1.0, 2.0], 0), ([1.0, 2.0], -3), (["a", "b"], 2), ([[1.0, 2.0]], 2),
    ([1.0, 2.0], 2**63),
])
def test_errors_are_those_of_pandas(m, value, window):
    with pytest.raises(Exception) as expected:
        pandas_steps(value, window)
    with pytest.raises(type(expected.value)):
        m.rolling_maximum_drawdown(value, window)


def test_window_must_be_a_number(m):
    with pytest.raises(TypeError, match="window"):
        m.rolling_maximum_drawdown([1.0, 2.0], "2")


@pytest.mark.native_only
def test_numeric_columns_are_computed_without_pandas_rolling(m, monkeypatch):
    inputs = [[100, 120, 90, 130], np.array([3.0, np.nan, 1.0, 2.0], dtype="float32"),
              pd.Series([5.0, 4.0, 6.0], index=list("abc"))]
    expected = [pandas_steps(v, 2) for v in inputs]

    def refuse(*args, **kwargs):
        raise AssertionError("pandas rolling used")
    monkeypatch.setattr(pd.Series, "rolling", refuse)
    for value, want in zip(inputs, expected):
        assert_identical(m.rolling_maximum_drawdown(value, 2), want)
    with pytest.raises(AssertionError, match="rolling used"):  # extension dtypes go to pandas
        m.rolling_maximum_drawdown(pd.Series([1.0, 2.0], dtype="Float64"), 2)
