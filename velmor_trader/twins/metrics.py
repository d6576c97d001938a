# The plain-Python twin of velmor_trader.plugins.analysis.metrics: the same
# functions, steps and argument rules as the native module.
from datetime import datetime
import numpy as np
import pandas as pd


def convert_time(time_: "str") -> "str":
    """time_ in the format: %H:%M:%S"""
    if type(time_) is not str:
        # The argument rules' helpers are imported off the common path, to
        # keep the module's namespace the native module's.
        from velmor_trader.twins._host import exact
        exact(time_, "time_", str)
    hour, min = time_.split(":")[:2]
    if int(min) < 30:
        return hour + ":00:00"
    return hour + ":30:00"


def holding_period(time_: "pd.Series") -> "float":
    """open_datetime and close_datetime are in the format of %Y-%m-%d %H:%M:%S

For a whole frame of trades:
    (df["close_datetime"].astype("datetime64[s]")
     - df["open_datetime"].astype("datetime64[s]")).dt.total_seconds() / 60"""
    begin_dt = datetime.strptime(time_["open_datetime"], "%Y-%m-%d %H:%M:%S")
    end_dt = datetime.strptime(time_["close_datetime"], "%Y-%m-%d %H:%M:%S")
    return (end_dt - begin_dt).total_seconds() / 60.0


def percentile(n: "float"):
    """Named percentile function for pandas aggregation (agg), e.g.
    df.groupby(key).agg([percentile(25), percentile(75)])
labels the result columns percentile_25.0 and percentile_75.0."""
    if type(n) is not float:
        from velmor_trader.twins._host import to_float
        n = to_float(n, "n")

    def percentile_(x):
        return x.quantile(n / 100)

    percentile_.__name__ = "percentile_%s" % n
    return percentile_


def sharpe_ratio(returns: "np.array", days: "int" = 252) -> "float":
    if type(days) is not int:
        from velmor_trader.twins._host import to_int
        days = to_int(days, "days")
    volatility = returns.std()
    if volatility == 0:
        return np.nan
    return np.sqrt(days) * returns.mean() / volatility


def information_ratio(
    returns: "np.array", benchmark_returns: "np.array", days: "int" = 252
) -> "float":
    if type(days) is not int:
        from velmor_trader.twins._host import to_int
        days = to_int(days, "days")
    return_difference = returns - benchmark_returns
    volatility = return_difference.std()
    if volatility == 0:
        return np.nan
    return np.sqrt(days) * return_difference.mean() / volatility


def modigliani_ratio(returns: "np.array", benchmark_returns, days=252) -> "float":
    volatility = returns.std()
    if volatility == 0:
        return np.nan
    sharpe_ratio = np.sqrt(days) * returns.mean() / volatility
    benchmark_volatility = benchmark_returns.std()
    return sharpe_ratio * benchmark_volatility


def rolling_maximum_drawdown(
    portfolio_value: "np.array", window: "int" = 252
) -> "float":
    """(default) use a trailing 252 trading day window
portfolio_value: the *daily* portfolio values"""
    if type(window) is not int:
        from velmor_trader.twins._host import to_int
        window = to_int(window, "window")
    df = pd.Series(portfolio_value, name="pv").to_frame()
    roll_max = df["pv"].rolling(window, min_periods=1).max()
    daily_drawdown = df["pv"] / roll_max - 1.0
    max_daily_drawdown = daily_drawdown.rolling(window, min_periods=1).min()
    return max_daily_drawdown
