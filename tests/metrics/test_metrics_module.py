import datetime as dt
import inspect

import numpy as np
import pandas as pd
import pytest

from implementations import implementation


@pytest.fixture
def m(impl):
    return implementation("metrics", impl)

FUNCTIONS = [
    "convert_time", "holding_period", "percentile", "sharpe_ratio",
    "information_ratio", "modigliani_ratio", "rolling_maximum_drawdown",
]


def test_public_names_in_definition_order(m):
    public = [k for k in vars(m) if not k.startswith("_")]
    assert public == ["datetime", "np", "pd"] + FUNCTIONS
    assert m.datetime is dt.datetime and m.np is np and m.pd is pd
    for name in FUNCTIONS:
        fn = getattr(m, name)
        assert fn.__name__ == fn.__qualname__ == name
        assert fn.__module__ == m.__name__


@pytest.mark.parametrize("name, signature", [
    ("convert_time", "(time_: 'str') -> 'str'"),
    ("holding_period", "(time_: 'pd.Series') -> 'float'"),
    ("percentile", "(n: 'float')"),
    ("sharpe_ratio", "(returns: 'np.array', days: 'int' = 252) -> 'float'"),
    ("information_ratio",
     "(returns: 'np.array', benchmark_returns: 'np.array', days: 'int' = 252) -> 'float'"),
    ("modigliani_ratio", "(returns: 'np.array', benchmark_returns, days=252) -> 'float'"),
    ("rolling_maximum_drawdown", "(portfolio_value: 'np.array', window: 'int' = 252) -> 'float'"),
])
def test_signatures_and_annotations(m, name, signature):
    fn = getattr(m, name)
    assert str(inspect.signature(fn)) == signature
    assert all(type(text) is str for text in fn.__annotations__.values())


@pytest.mark.parametrize("name, texts", [
    ("rolling_maximum_drawdown", ["(default) use a trailing 252 trading day window",
                                  "portfolio_value: the *daily* portfolio values"]),
    ("convert_time", ["time_ in the format: %H:%M:%S"]),
    ("holding_period", ["open_datetime and close_datetime are in the format of "
                        "%Y-%m-%d %H:%M:%S", "total_seconds"]),
    ("percentile", ["agg"]),
])
def test_docstrings(m, name, texts):
    for text in texts:
        assert text in getattr(m, name).__doc__


@pytest.mark.parametrize("text, expected", [
    ("09:29:59", "09:00:00"), ("09:30:00", "09:30:00"), ("9:45", "9:30:00"),
    ("23:00", "23:00:00"), ("x: 31 :7", "x:30:00"), ("10:-5", "10:00:00"),
])
def test_convert_time(m, text, expected):
    assert m.convert_time(text) == expected


@pytest.mark.parametrize("text, error", [
    ("0930", ValueError), ("09:ab", ValueError), ("", ValueError),
    (930, TypeError), (None, TypeError),
])
def test_convert_time_refuses(m, text, error):
    with pytest.raises(error):
        m.convert_time(text)


def test_convert_time_refuses_str_subclass(m):
    class Text(str):
        pass
    with pytest.raises(TypeError, match="time_"):
        m.convert_time(Text("09:30"))


@pytest.mark.parametrize("trade", [
    pd.Series({"open_datetime": "2024-01-02 09:30:00", "close_datetime": "2024-01-02 11:00:30"}),
    {"open_datetime": "2024-01-02 09:30:00", "close_datetime": "2024-01-02 11:00:30"},
])
def test_holding_period(m, trade):
    got = m.holding_period(trade)
    assert got == 90.5 and type(got) is float


def test_holding_period_errors_and_sign(m):
    assert m.holding_period({"open_datetime": "2024-01-03 00:00:00",
                             "close_datetime": "2024-01-02 23:59:00"}) == -1.0
    with pytest.raises(KeyError):
        m.holding_period({"open_datetime": "2024-01-02 09:30:00"})
    with pytest.raises(ValueError):
        m.holding_period({"open_datetime": "2024-01-02T09:30:00",
                          "close_datetime": "2024-01-02 11:00:30"})


def test_module_names_are_looked_up_when_called(m, monkeypatch):
    class Clock:
        @staticmethod
        def strptime(text, fmt):
            return dt.datetime(2000, 1, 1, 0, 0) if text == "a" else dt.datetime(2000, 1, 1, 2, 0)
    monkeypatch.setattr(m, "datetime", Clock)
    assert m.holding_period({"open_datetime": "a", "close_datetime": "b"}) == 120.0
    monkeypatch.setattr(m, "np", type("NoNumpy", (), {"nan": "nan!"}))
    assert m.sharpe_ratio(np.array([1.0, 1.0])) == "nan!"
    assert m.rolling_maximum_drawdown([2.0, 1.0]).tolist() == [0.0, -0.5]  # needs only pd


@pytest.mark.parametrize("n, name, value", [
    (50, "percentile_50.0", 2.5), (25, "percentile_25.0", 1.75),
    (2.5, "percentile_2.5", 1.075), (np.int64(100), "percentile_100.0", 4.0),
])
def test_percentile(m, n, name, value):
    fn = m.percentile(n)
    assert fn.__name__ == name
    assert fn.__qualname__ == "percentile.<locals>.percentile_"
    assert fn(pd.Series([1, 2, 3, 4])) == pytest.approx(value)
    assert fn(pd.Series([4.0, 3.0, 2.0, 1.0], index=list("abcd"))) == pytest.approx(value)


def test_percentile_makes_a_new_function_each_call(m):
    a, b = m.percentile(10), m.percentile(90)
    assert a is not b and a is not m.percentile(10)
    s = pd.Series(range(11))
    assert (a(s), b(s)) == (1.0, 9.0)


def test_percentile_as_named_aggregation(m):
    df = pd.DataFrame({"k": [1, 1, 1, 1, 2, 2], "v": [1.0, 2.0, 3.0, 4.0, 10.0, 20.0]})
    out = df.groupby("k")["v"].agg([m.percentile(25), m.percentile(75)])
    assert list(out.columns) == ["percentile_25.0", "percentile_75.0"]
    assert out.loc[1].tolist() == [1.75, 3.25] and out.loc[2].tolist() == [12.5, 17.5]


def test_percentile_errors(m):
    with pytest.raises(TypeError):
        m.percentile("50")
    with pytest.raises(TypeError):
        m.percentile()
    with pytest.raises(AttributeError):
        m.percentile(50)([1, 2, 3])
