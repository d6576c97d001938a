"""The session's report, computed from the stored deals and the price marks.

Equity at a mark is the starting cash, less what the deals up to that moment
(by their broker time) paid and their fees, plus what the holdings they left
are worth at the mark's prices.  The benchmark holds an equal share of every
traded instrument from the first mark on.
"""
import math
from collections import defaultdict, deque
from datetime import datetime

import pandas as pd

from velmor_trader.core.constants import Direction
from velmor_trader.core.deal import Deal
from velmor_trader.plugins.analysis import metrics

from . import fees as fee_schedules

TIME = "%Y-%m-%d %H:%M:%S"


def stored_deals(frame, instruments):
    """The Deal records of the ``trading_deal`` rows, oldest first."""
    by_code = {i.security.code: i.security for i in instruments}
    deals = [Deal(security=by_code[row.security_code], direction=Direction[row.direction],
                  filled_avg_price=float(row.filled_avg_price),
                  filled_quantity=int(row.filled_quantity), order_id=row.broker_order_id,
                  deal_id=row.broker_deal_id,
                  updated_time=datetime.strptime(row.update_time, TIME))
             for row in frame.sort_values("id").itertuples()]
    return deals


def _signed(deal):
    return deal.filled_quantity if deal.direction == Direction.LONG else -deal.filled_quantity


def fee_steps(deals):
    """(time, fee added) per deal: each order's fees grow as its deals come."""
    steps, of_order, charged = [], defaultdict(list), defaultdict(float)
    for deal in deals:
        of_order[deal.order_id].append(deal)
        total = fee_schedules.order_fees(of_order[deal.order_id])["total_fees"]
        steps.append((deal.updated_time, total - charged[deal.order_id]))
        charged[deal.order_id] = total
    return steps


def fees_by_kind(deals):
    of_order = defaultdict(list)
    for deal in deals:
        of_order[deal.order_id].append(deal)
    totals = dict.fromkeys(fee_schedules.KINDS, 0.0)
    for order_deals in of_order.values():
        for kind, value in fee_schedules.order_fees(order_deals).items():
            totals[kind] += value
    return totals


def equity_curve(deals, marks, instruments, start_cash):
    """Equity and benchmark at every mark: a frame indexed by the mark time.

    ``marks``: (time, {code: price}) in time order."""
    multiplier = {i.security.code: i.multiplier for i in instruments}
    steps = fee_steps(deals)
    first = marks[0][1]
    rows = []
    for when, prices in marks:
        cash, held = start_cash, defaultdict(float)
        for deal, (_, fee) in zip(deals, steps):
            if deal.updated_time > when:
                continue
            code = deal.security.code
            cash -= _signed(deal) * deal.filled_avg_price * multiplier[code] + fee
            held[code] += _signed(deal)
        value = sum(q * prices[c] * multiplier[c] for c, q in held.items() if q)
        benchmark = start_cash * sum(prices[c] / first[c] for c in first) / len(first)
        rows.append((when, cash + value, benchmark))
    return pd.DataFrame(rows, columns=["time", "equity", "benchmark"]).set_index("time")


def round_trips(deals, instruments):
    """Closed trades, first in first out per instrument."""
    multiplier = {i.security.code: i.multiplier for i in instruments}
    lots, trips = defaultdict(deque), []
    for deal in deals:
        code, qty = deal.security.code, _signed(deal)
        book = lots[code]
        while qty and book and (book[0][0] > 0) != (qty > 0):
            open_qty, open_price, opened = book[0]
            closed = min(abs(qty), abs(open_qty))
            side = 1 if open_qty > 0 else -1
            trips.append({"security": code, "quantity": closed,
                          "open_datetime": opened.strftime(TIME),
                          "close_datetime": deal.updated_time.strftime(TIME),
                          "pnl": side * closed * (deal.filled_avg_price - open_price)
                          * multiplier[code]})
            open_qty -= side * closed
            qty += side * closed
            if open_qty:
                book[0] = (open_qty, open_price, opened)
            else:
                book.popleft()
        if qty:
            book.append((qty, deal.filled_avg_price, deal.updated_time))
    return pd.DataFrame(trips, columns=["security", "quantity", "open_datetime",
                                        "close_datetime", "pnl"])


def build(deals, orders, marks, instruments, start_cash, periods_per_year):
    """Every figure of the report, from the stored deals and orders.

    The ratios are of the returns from mark to mark, one a minute, and are
    annualised over ``periods_per_year`` of them (not over 252: these are not
    daily returns)."""
    curve = equity_curve(deals, marks, instruments, start_cash)
    returns = curve["equity"].pct_change().dropna()
    benchmark = curve["benchmark"].pct_change().dropna()
    # The metrics' default window, 252, counts days; the session's maximum
    # drawdown is from the highest equity of the whole session.
    drawdown = metrics.rolling_maximum_drawdown(curve["equity"], window=len(curve))
    trips = round_trips(deals, instruments)
    trips["holding_minutes"] = [metrics.holding_period(t) for _, t in trips.iterrows()]
    trips["half_hour"] = [metrics.convert_time(t[11:]) for t in trips["close_datetime"]]
    by_half_hour = trips.groupby("half_hour")["pnl"].agg(
        ["count", "sum", metrics.percentile(25), metrics.percentile(50), metrics.percentile(75)])
    figures = {
        "start_equity": float(curve["equity"].iloc[0]),
        "end_equity": float(curve["equity"].iloc[-1]),
        "orders": int(len(orders)),
        "orders_by_type": {k: int(v) for k, v in orders["order_type"].value_counts().items()},
        "orders_by_status": {k: int(v) for k, v in orders["status"].value_counts().items()},
        "deals": len(deals),
        "round_trips": int(len(trips)),
        "gross_pnl": float(trips["pnl"].sum()),
        "periods_per_year": int(periods_per_year),
        "sharpe": float(metrics.sharpe_ratio(returns, days=periods_per_year)),
        "information": float(metrics.information_ratio(returns, benchmark, days=periods_per_year)),
        # modigliani_ratio annualises only the Sharpe ratio it starts from; the
        # benchmark's volatility it multiplies by is still that of one minute.
        "modigliani": float(metrics.modigliani_ratio(returns, benchmark, days=periods_per_year)
                            * math.sqrt(periods_per_year)),
        "max_drawdown": float(drawdown.min()),
        "holding_minutes_mean": float(trips["holding_minutes"].mean()) if len(trips) else 0.0,
        "holding_minutes_max": float(trips["holding_minutes"].max()) if len(trips) else 0.0,
        "fees": fees_by_kind(deals),
    }
    return figures, curve, drawdown, trips, by_half_hour


def table(figures, by_half_hour):
    f = figures
    annualised = f"(annualised over {f['periods_per_year']:,} one-minute periods a year)"
    lines = [
        ("equity at start / end", f"{f['start_equity']:,.2f} / {f['end_equity']:,.2f}"),
        ("net result", f"{f['end_equity'] - f['start_equity']:+,.2f}"),
        ("gross P&L of round trips", f"{f['gross_pnl']:+,.2f} ({f['round_trips']} round trips)"),
        ("orders", f"{f['orders']}: " + ", ".join(f"{k} {v}" for k, v in
                                                   sorted(f["orders_by_type"].items()))),
        ("order statuses", ", ".join(f"{k} {v}" for k, v in sorted(f["orders_by_status"].items()))),
        ("deals", f"{f['deals']}"),
        ("Sharpe ratio", f"{f['sharpe']:.2f} {annualised}"),
        ("information ratio", f"{f['information']:.2f} {annualised}"),
        ("Modigliani ratio (M2)", f"{f['modigliani']:,.2%} {annualised}"),
        ("maximum drawdown", f"{f['max_drawdown']:.3%}"),
        ("holding period, mean / max", f"{f['holding_minutes_mean']:.1f} / "
                                       f"{f['holding_minutes_max']:.1f} minutes"),
    ]
    lines += [(f"fees: {kind.replace('_', ' ')}", f"{value:,.2f}")
              for kind, value in f["fees"].items()]
    width = max(len(name) for name, _ in lines)
    text = "\n".join(f"  {name:<{width}}  {value}" for name, value in lines)
    if len(by_half_hour):
        text += "\n\n  P&L of round trips by half hour of closing\n"
        text += by_half_hour.to_string(float_format=lambda v: f"{v:,.2f}")
    return text


def plot(curve, drawdown, path, title):
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(8, 5),
                                      gridspec_kw={"height_ratios": [3, 1]})
    top.plot(curve.index, curve["equity"], label="strategy", color="tab:blue")
    top.plot(curve.index, curve["benchmark"], label="benchmark (equal weights held)",
             color="tab:gray", linewidth=0.8)
    top.set_ylabel("equity")
    top.legend(loc="upper left", fontsize=8)
    top.set_title(title, fontsize=10)
    top.ticklabel_format(axis="y", useOffset=False, style="plain")
    bottom.fill_between(drawdown.index, drawdown.values * 100, 0, color="tab:red", alpha=0.4)
    bottom.set_ylabel("drawdown %")
    fig.autofmt_xdate()
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)
