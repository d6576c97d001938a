"""Pure-Python performance metrics: the baseline the native module is measured
against, and a reference for its behaviour in tests.

Same functions, same steps and the same argument rules as
``velmor_trader.plugins.analysis.metrics``.
"""
from datetime import datetime
import numpy as np
import pandas as pd


def _int_arg(value, name):
    # Arguments typed as int: an int is taken as it is, any other number
    # (a bool too, as True becomes 1) is truncated by int(), anything else is
    # refused.
    if type(value) is int:
        return value
    if isinstance(value, (str, bytes, bytearray)) or not (
        hasattr(type(value), "__int__") or hasattr(type(value), "__index__")
    ):
        raise TypeError(
            f"Argument '{name}' has incorrect type "
            f"(expected int, got {type(value).__name__})"
        )
    return int(value)


def _float_arg(value, name):
    if isinstance(value, float):
        return value
    if isinstance(value, (str, bytes, bytearray)):
        raise TypeError(
            f"Argument '{name}' has incorrect type "
            f"(expected float, got {type(value).__name__})"
        )
    return float(value)


def _is_zero(value):
    return value == 0


def convert_time(time_: "str") -> "str":
    """time_ in the format: %H:%M:%S"""
    if type(time_) is not str:
        raise TypeError(
            f"Argument 'time_' has incorrect type "
            f"(expected str, got {type(time_).__name__})"
        )
    hour, min = time_.split(":")[:2]
    if int(min) < 30:
        return hour + ":00:00"
    return hour + ":30:00"


def holding_period(time_: "pd.Series") -> "float":
    """open_datetime and close_datetime are in the format of %Y-%m-%d %H:%M:%S

    For a whole frame of trades:
        (df["close_datetime"].astype("datetime64[s]")
         - df["open_datetime"].astype("datetime64[s]")).dt.total_seconds() / 60
    """
    begin_dt = datetime.strptime(time_["open_datetime"], "%Y-%m-%d %H:%M:%S")
    end_dt = datetime.strptime(time_["close_datetime"], "%Y-%m-%d %H:%M:%S")
    return (end_dt - begin_dt).total_seconds() / 60.0


def percentile(n: "float"):
    """Named percentile function, for pandas aggregation (agg), e.g.
    df.groupby(key).agg([percentile(25), percentile(75)])
    """
    n = _float_arg(n, "n")

    def percentile_(x):
        return x.quantile(n / 100)

    percentile_.__name__ = "percentile_%s" % n
    return percentile_


def sharpe_ratio(returns: "np.array", days: "int" = 252) -> "float":
    days = _int_arg(days, "days")
    volatility = returns.std()
    if _is_zero(volatility):
        return np.nan
    return np.sqrt(days) * returns.mean() / volatility


def information_ratio(
    returns: "np.array", benchmark_returns: "np.array", days: "int" = 252
) -> "float":
    days = _int_arg(days, "days")
    return_difference = returns - benchmark_returns
    volatility = return_difference.std()
    if _is_zero(volatility):
        return np.nan
    return np.sqrt(days) * return_difference.mean() / volatility


def modigliani_ratio(returns: "np.array", benchmark_returns, days=252) -> "float":
    volatility = returns.std()
    if _is_zero(volatility):
        return np.nan
    sharpe_ratio = np.sqrt(days) * returns.mean() / volatility
    benchmark_volatility = benchmark_returns.std()
    return sharpe_ratio * benchmark_volatility


def rolling_maximum_drawdown(
    portfolio_value: "np.array", window: "int" = 252
) -> "float":
    """(default) use a trailing 252 trading day window
    portfolio_value: the *daily* portfolio values
    """
    window = _int_arg(window, "window")
    df = pd.Series(portfolio_value, name="pv").to_frame()
    roll_max = df["pv"].rolling(window, min_periods=1).max()
    daily_drawdown = df["pv"] / roll_max - 1.0
    max_daily_drawdown = daily_drawdown.rolling(window, min_periods=1).min()
    return max_daily_drawdown
