"""The report's figures from hand-made fills: round trips from open to flat,
the per-instrument trade figures, and "n/a" with a reason where a figure
cannot be had."""
import math
from datetime import datetime, timedelta

import pandas as pd
import pytest

from velmor_trader.core.constants import Direction
from velmor_trader.core.deal import Deal
from velmor_trader.paper_trading import defaults, report

ES, CL, TENCENT = (i.security for i in defaults.INSTRUMENTS[:3])
START = datetime(2024, 11, 4, 9, 30)
LONG, SHORT = Direction.LONG, Direction.SHORT


def deal(minute, security, side, qty, price, order=None):
    return Deal(security, side, price, qty, order_id=order or f"o{minute}",
                updated_time=START + timedelta(minutes=minute))


def at(minute):
    return (START + timedelta(minutes=minute)).strftime(report.TIME)


def test_a_round_trip_runs_from_open_to_flat_whatever_the_lots():
    fills = [deal(0, ES, LONG, 1, 100.0), deal(1, ES, LONG, 2, 101.0),     # scaled in
             deal(2, TENCENT, SHORT, 300, 50.0),                            # another instrument
             deal(5, ES, SHORT, 4, 103.0, order="stop"),                    # flat and short 1
             deal(6, TENCENT, LONG, 100, 49.0), deal(7, TENCENT, LONG, 200, 51.0),
             deal(9, ES, LONG, 1, 99.0), deal(10, ES, LONG, 2, 99.5)]        # flat, then long
    fees = [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0]
    trips, kinds, still_open = report.round_trips(fills, defaults.INSTRUMENTS, fees,
                                                  {"stop": "STOP"})
    assert trips[["security", "direction", "quantity", "open_datetime", "close_datetime",
                  "fills"]].values.tolist() == [
        ["EPZ4", "LONG", 3, at(0), at(5), 3],
        ["00700", "SHORT", 300, at(2), at(7), 3],
        ["EPZ4", "SHORT", 1, at(5), at(9), 2],
    ]
    # ES long: bought 1 @100 and 2 @101, sold 3 of the 4 @103; the reversing
    # fill's fee is shared 3:1 between the trip it closes and the one it opens
    assert trips["gross"].tolist() == pytest.approx([(309 - 302) * 50, 300 * 50 - 100 * 49
                                                     - 200 * 51, 4 * 50])
    assert trips["fees"].tolist() == pytest.approx([1 + 2 + 3, 3 + 5 + 6, 1 + 7])
    assert trips["pnl"].tolist() == pytest.approx((trips["gross"] - trips["fees"]).tolist())
    assert kinds["kind"].tolist() == ["entry", "entry", "entry", "stop", "exit", "exit",
                                      "exit", "entry"]
    assert still_open == {"EPZ4": 2}


def trades_of(pnls):
    """Deals making one ES round trip (bought, then sold) per P&L given."""
    fills = []
    for n, pnl in enumerate(pnls):
        fills += [deal(2 * n, ES, LONG, 1, 100.0), deal(2 * n + 1, ES, SHORT, 1, 100.0 + pnl / 50)]
    return fills


@pytest.mark.parametrize("pnls, win_rate, factor, avg_win, avg_loss", [
    ([300.0, -100.0, 200.0, -100.0], 0.5, 500 / 200, 250.0, -100.0),
    ([300.0, 0.0, -150.0], 1 / 3, 2.0, 300.0, -150.0),            # an even trade is no win
    ([300.0, 100.0], 1.0, math.nan, 200.0, math.nan),             # no losing trade
    ([-50.0], 0.0, 0.0, math.nan, -50.0),
    ([], math.nan, math.nan, math.nan, math.nan),
])
def test_win_rate_profit_factor_and_averages(pnls, win_rate, factor, avg_win, avg_loss):
    fills = trades_of(pnls)
    trips, *_ = report.round_trips(fills, defaults.INSTRUMENTS, [0.0] * len(fills))
    got = report.trade_figures(trips["pnl"])
    assert got["trades"] == len(pnls)
    assert [got["win_rate"], got["profit_factor"], got["average_win"], got["average_loss"]] == \
        pytest.approx([win_rate, factor, avg_win, avg_loss], nan_ok=True)


def marks_for(prices_by_minute):
    return [(START + timedelta(minutes=m), dict(prices)) for m, prices in
            enumerate(prices_by_minute)]


ORDERS = pd.DataFrame({"broker_order_id": ["a", "b", "c", "d"],
                       "order_type": ["LIMIT", "MARKET", "LIMIT", "STOP"],
                       "status": ["FILLED"] * 4})


def test_the_instruments_add_up_to_the_session_and_fees_count_against_it():
    prices = [{"EPZ4": 5900.0 + m, "00700": 400.0 - m / 10} for m in range(12)]
    fills = [deal(1, ES, LONG, 2, 5901.0, "a"), deal(4, ES, SHORT, 2, 5904.0, "b"),
             deal(5, TENCENT, SHORT, 100, 399.5, "c"), deal(8, TENCENT, LONG, 100, 399.3, "d")]
    result = report.build(fills, ORDERS, marks_for(prices), defaults.INSTRUMENTS[::2],
                          1_000_000.0, defaults.PERIODS_PER_YEAR)
    f, rows = result.figures, result.by_instrument
    assert f["trades"] == 2 and f["trades_won"] + f["trades_lost"] == 2
    assert rows.loc["all", "pnl"] == pytest.approx(f["net_pnl"])
    assert rows.loc["EPZ4", "pnl"] == pytest.approx(3 * 2 * 50 - rows.loc["EPZ4", "fees"])
    assert f["gross_pnl"] == pytest.approx(300.0 + 20.0)
    assert f["fees_total"] > 0
    assert f["fees_total"] == pytest.approx(rows.loc[["EPZ4", "00700"], "fees"].sum())
    assert f["fees_share_of_gross"] == pytest.approx(f["fees_total"] / 320.0)
    assert result.fills["kind"].tolist() == ["entry", "exit", "entry", "stop"]


def assert_no_nan(result):
    text = report.table(result)
    assert "nan" not in text.lower() and "inf" not in text.lower().replace("info", "")
    assert not any(isinstance(v, float) and math.isnan(v) for v in result.figures.values())
    return text


@pytest.mark.parametrize("prices, fills, reason", [
    # two minutes without a trade: the equity never moves
    ([{"EPZ4": 5900.0 + m} for m in range(3)], [],
     "n/a (the equity did not change over the session)"),
    # one return: no deviation to divide by
    ([{"EPZ4": 5900.0}, {"EPZ4": 5901.0}], [], "n/a (fewer than two returns)"),
])
def test_what_cannot_be_computed_reads_n_a_with_its_reason(prices, fills, reason, tmp_path):
    result = report.build(fills, ORDERS[:0], marks_for(prices), defaults.INSTRUMENTS[:1],
                          1_000_000.0, defaults.PERIODS_PER_YEAR)
    text = assert_no_nan(result)
    assert reason in text
    assert "trades (round trips)" in text and "0: 0 won, 0 lost" in text
    pytest.importorskip("matplotlib")
    report.plot(result, tmp_path / "r.png", "no trades")      # draws an empty session too
    assert (tmp_path / "r.png").stat().st_size > 10_000


def test_ratios_are_annualised_only_over_a_long_enough_record():
    times = pd.date_range(START, periods=400, freq="min")
    equity = pd.Series([1e6 * (1 + 0.001 * math.sin(n) + 1e-5 * n) for n in range(400)], times)
    curve = pd.DataFrame({"equity": equity, "benchmark": equity.iloc[::-1].values}, times)
    returns = equity.pct_change().dropna()
    plain = returns.mean() / returns.std()
    short = report.ratios(curve, periods_per_year=98_280)
    assert not short["annualised"] and short["basis"].startswith("per one-minute return")
    assert short["sharpe"] == pytest.approx(plain)
    # the same returns taken as daily ones over more than a month of a year
    long = report.ratios(curve, periods_per_year=252, period="daily")
    assert long["annualised"] and long["basis"].startswith("annualised from 399 daily")
    assert long["sharpe"] == pytest.approx(plain * math.sqrt(252))
    assert long["modigliani"] == pytest.approx(
        long["sharpe"] * curve["benchmark"].pct_change().std() * math.sqrt(252))
