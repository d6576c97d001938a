"""The session's report, computed from the stored deals and the price marks.

Equity at a mark is the starting cash, less what the deals up to that moment
(by their broker time) paid and their fees, plus what the holdings they left
are worth at the mark's prices.  The benchmark holds an equal share of every
traded instrument from the first mark on.

A trade is a round trip: a position in one instrument from the fill that
opens it to the fill that makes it flat again, however many fills and lots
lie between.  Its P&L is after the fees of its fills.
"""
import math
from collections import defaultdict
from dataclasses import dataclass
from datetime import datetime

import pandas as pd

from velmor_trader.core.constants import Direction
from velmor_trader.core.deal import Deal
from velmor_trader.plugins.analysis import metrics

from . import fees as fee_schedules

TIME = "%Y-%m-%d %H:%M:%S"
NA = "n/a"
# A ratio of short-period returns is scaled to a year only when the returns
# cover at least this share of one; a shorter record says nothing about a year.
MIN_YEAR_SHARE = 1 / 12


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


def equity_curve(deals, marks, instruments, start_cash, fees=None):
    """Equity and benchmark at every mark: a frame indexed by the mark time.

    ``marks``: (time, {code: price}) in time order; ``fees``: the fee each
    deal added (by default from the fee schedules)."""
    multiplier = {i.security.code: i.multiplier for i in instruments}
    if fees is None:
        fees = [fee for _, fee in fee_steps(deals)]
    first = marks[0][1]
    rows = []
    for when, prices in marks:
        cash, held = start_cash, defaultdict(float)
        for deal, fee in zip(deals, fees):
            if deal.updated_time > when:
                continue
            code = deal.security.code
            cash -= _signed(deal) * deal.filled_avg_price * multiplier[code] + fee
            held[code] += _signed(deal)
        value = sum(q * prices[c] * multiplier[c] for c, q in held.items() if q)
        benchmark = start_cash * sum(prices[c] / first[c] for c in first) / len(first)
        rows.append((when, cash + value, benchmark))
    return pd.DataFrame(rows, columns=["time", "equity", "benchmark"]).set_index("time")


TRIP_COLUMNS = ["security", "direction", "quantity", "open_datetime", "close_datetime",
                "fills", "gross", "fees", "pnl"]
FILL_COLUMNS = ["time", "security", "side", "quantity", "price", "kind", "order_id"]


def round_trips(deals, instruments, fees=None, order_types=None):
    """The closed trades and every fill's part in them.

    Returns (trips, fills, still_open).  A trip runs from the fill that takes
    an instrument's position off zero to the one that brings it back; a fill
    that goes through zero closes one trip and opens the next, its quantity
    and fee shared between them.  ``quantity`` is the largest position the
    trip held; ``pnl`` is ``gross`` less ``fees``.  A fill's kind is "stop"
    for a stop order's fill, else "entry" when it opens or adds to a
    position, "exit" when it reduces or closes one and "reversal" when it
    goes through zero.  ``still_open``: the trips not flat at the end, by
    instrument code."""
    multiplier = {i.security.code: i.multiplier for i in instruments}
    if fees is None:
        fees = [fee for _, fee in fee_steps(deals)]
    order_types = order_types or {}
    position, current = defaultdict(int), {}
    trips, fills = [], []

    def add(trip, qty, price, fee, m):
        trip["gross"] -= qty * price * m
        trip["fees"] += fee
        trip["fills"] += 1

    for deal, fee in zip(deals, fees):
        code, qty, price = deal.security.code, _signed(deal), deal.filled_avg_price
        m, held = multiplier[code], position[code]
        if held and (held > 0) != (qty > 0):               # reduces, closes or reverses
            closing = -held if abs(qty) >= abs(held) else qty     # the part that reduces
            trip = current[code]
            add(trip, closing, price, fee * abs(closing) / abs(qty), m)
            held += closing
            kind = "exit"
            if held == 0:
                trip["close_datetime"] = deal.updated_time.strftime(TIME)
                trip["pnl"] = trip["gross"] - trip["fees"]
                trips.append(trip)
                del current[code]
                rest = qty - closing
                if rest:
                    kind = "reversal"
                    current[code] = _open(code, rest, deal)
                    add(current[code], rest, price, fee * abs(rest) / abs(qty), m)
                    held = rest
        else:
            kind = "entry"
            if not held:
                current[code] = _open(code, qty, deal)
            add(current[code], qty, price, fee, m)
            held += qty
            current[code]["quantity"] = max(current[code]["quantity"], abs(held))
        position[code] = held
        if order_types.get(deal.order_id) == "STOP":
            kind = "stop"
        fills.append((deal.updated_time, code, 1 if qty > 0 else -1, abs(qty), price, kind,
                      deal.order_id))
    trips = pd.DataFrame(trips, columns=TRIP_COLUMNS)
    fills = pd.DataFrame(fills, columns=FILL_COLUMNS)
    return trips, fills, {code: position[code] for code in current}


def _open(code, qty, deal):
    return {"security": code, "direction": "LONG" if qty > 0 else "SHORT",
            "quantity": abs(qty), "open_datetime": deal.updated_time.strftime(TIME),
            "close_datetime": None, "fills": 0, "gross": 0.0, "fees": 0.0, "pnl": None}


def _finite(value):
    """A plain float, or None where there is no number to show."""
    if value is None:
        return None
    value = float(value)
    return value if math.isfinite(value) else None


def ratios(curve, periods_per_year, period="one-minute"):
    """Sharpe, information and Modigliani ratios of the returns from mark to
    mark, computed by the metrics module: annualised only when the returns
    cover enough of a year to say something about one, else per period.
    Each is None with a reason where the returns cannot give it."""
    returns = curve["equity"].pct_change().dropna()
    benchmark = curve["benchmark"].pct_change().dropna()
    count = len(returns)
    annualised = count >= periods_per_year * MIN_YEAR_SHARE
    days = periods_per_year if annualised else 1
    if annualised:
        basis = f"annualised from {count:,} {period} returns, {periods_per_year:,} a year"
    else:
        basis = f"per {period} return, over {count:,} returns: too few to scale to a year"
    out = {"basis": basis, "annualised": annualised, "returns": count,
           "benchmark_mean_return": _finite(benchmark.mean()) if count else None}
    if count < 2:
        reason = "fewer than two returns"
        for name in ("sharpe", "information", "modigliani"):
            out[name], out[name + "_reason"] = None, reason
        return out
    still = "the equity did not change over the session"
    out["sharpe"] = _finite(metrics.sharpe_ratio(returns, days=days))
    out["sharpe_reason"] = None if out["sharpe"] is not None else still
    out["information"] = _finite(metrics.information_ratio(returns, benchmark, days=days))
    out["information_reason"] = (None if out["information"] is not None
                                 else "the returns did not differ from the benchmark's")
    # modigliani_ratio scales only the Sharpe ratio it starts from to a year;
    # the benchmark's volatility it multiplies by is still that of one period.
    m2 = metrics.modigliani_ratio(returns, benchmark, days=days)
    out["modigliani"] = _finite(m2 * math.sqrt(days))
    out["modigliani_reason"] = None if out["modigliani"] is not None else still
    return out


def drawdown_of(equity):
    """The session's drawdown series (from the highest equity so far, by the
    metrics module) and its deepest point: (series, figures)."""
    # The metrics' default window, 252, counts days; the session's maximum
    # drawdown is from the highest equity of the whole session.
    drawdown = metrics.rolling_maximum_drawdown(equity, window=len(equity))
    # By position: the last mark may share its time with the one before.
    trough = int(drawdown.values.argmin())
    peak = int(equity.values[:trough + 1].argmax())
    return drawdown, {"max_drawdown": float(drawdown.iloc[trough]),
                      "max_drawdown_money": float(equity.iloc[trough] - equity.iloc[peak]),
                      "drawdown_peak": equity.index[peak], "drawdown_trough": equity.index[trough]}


@dataclass
class Report:
    figures: dict              # the headline figures, JSON-ready (None where n/a)
    curve: pd.DataFrame        # equity and benchmark by mark time
    drawdown: pd.Series
    trips: pd.DataFrame        # closed round trips
    fills: pd.DataFrame        # every fill with its kind
    prices: pd.DataFrame       # the marks' prices, a column per instrument
    by_instrument: pd.DataFrame
    names: dict                # code -> instrument name


def build(deals, orders, marks, instruments, start_cash, periods_per_year, period="one-minute"):
    """Every figure of the report, from the stored deals and orders."""
    steps = [fee for _, fee in fee_steps(deals)]
    curve = equity_curve(deals, marks, instruments, start_cash, steps)
    drawdown, deepest = drawdown_of(curve["equity"])
    order_types = {}
    if "broker_order_id" in orders:
        order_types = dict(zip(orders["broker_order_id"], orders["order_type"]))
    trips, fills, still_open = round_trips(deals, instruments, steps, order_types)
    trips["holding_minutes"] = [metrics.holding_period(t) for _, t in trips.iterrows()]
    prices = pd.DataFrame([p for _, p in marks], index=pd.Index([t for t, _ in marks],
                                                                 name="time"))
    by_instrument = per_instrument(deals, steps, trips, instruments, marks[-1][1])
    all_fees = fees_by_kind(deals)
    end, start = float(curve["equity"].iloc[-1]), float(curve["equity"].iloc[0])
    net = end - start
    gross = net + all_fees["total_fees"]
    won = trips["pnl"] > 0
    quartiles = {}
    if len(trips):
        quartiles = {f"p{n}": float(metrics.percentile(n)(trips["pnl"])) for n in (25, 50, 75)}
    figures = {
        "start_equity": start,
        "end_equity": end,
        "net_pnl": net,
        "return": net / start if start else None,
        "gross_pnl": gross,
        "fees_total": all_fees["total_fees"],
        # A share of a gross loss means nothing: the fees only made it worse.
        "fees_share_of_gross": all_fees["total_fees"] / gross if gross > 0 else None,
        "trades": int(len(trips)),
        "trades_won": int(won.sum()),
        "trades_lost": int((trips["pnl"] < 0).sum()),
        "open_at_end": {code: int(q) for code, q in still_open.items()},
        "trip_pnl_quartiles": quartiles,
        "orders": int(len(orders)),
        "orders_by_type": {k: int(v) for k, v in orders["order_type"].value_counts().items()},
        "orders_by_status": {k: int(v) for k, v in orders["status"].value_counts().items()},
        "deals": len(deals),
        "periods_per_year": int(periods_per_year),
        "holding_minutes_mean": float(trips["holding_minutes"].mean()) if len(trips) else None,
        "holding_minutes_max": float(trips["holding_minutes"].max()) if len(trips) else None,
        "fees": all_fees,
        "first_mark": curve.index[0].strftime(TIME),
        "last_mark": curve.index[-1].strftime(TIME),
    }
    figures.update(ratios(curve, periods_per_year, period))
    figures.update(max_drawdown=deepest["max_drawdown"],
                   max_drawdown_money=deepest["max_drawdown_money"],
                   drawdown_peak=deepest["drawdown_peak"].strftime(TIME),
                   drawdown_trough=deepest["drawdown_trough"].strftime(TIME))
    figures["by_instrument"] = {
        code: {k: _finite(v) if isinstance(v, float) else v for k, v in row.items()}
        for code, row in by_instrument.to_dict("index").items()}
    names = {i.security.code: i.security.security_name for i in instruments}
    return Report(figures, curve, drawdown, trips, fills, prices, by_instrument, names)


def per_instrument(deals, fees, trips, instruments, last_prices):
    """Trades, win rate, profit factor, average win and loss, fees and P&L
    per instrument, and over all of them (the row "all").  P&L is after fees
    and counts a position still open at the last mark's price, so that the
    rows add up to the session's net P&L."""
    multiplier = {i.security.code: i.multiplier for i in instruments}
    cash, held, charged = defaultdict(float), defaultdict(int), defaultdict(float)
    for deal, fee in zip(deals, fees):
        code = deal.security.code
        cash[code] -= _signed(deal) * deal.filled_avg_price * multiplier[code]
        held[code] += _signed(deal)
        charged[code] += fee
    rows = {}
    codes = [i.security.code for i in instruments]
    for code in codes + ["all"]:
        mine = trips if code == "all" else trips[trips["security"] == code]
        if code == "all":
            pnl = sum(rows[c]["pnl"] for c in codes)
            fee = sum(rows[c]["fees"] for c in codes)
        else:
            fee = charged[code]
            pnl = cash[code] + held[code] * last_prices.get(code, 0.0) * multiplier[code] - fee
        rows[code] = trade_figures(mine["pnl"]) | {"fees": fee, "pnl": pnl}
    return pd.DataFrame.from_dict(rows, orient="index")


def trade_figures(pnl):
    """Win rate, profit factor and average win and loss of trades' P&L;
    NaN where the trades cannot give one (no trade, no win, no loss)."""
    wins, losses = pnl[pnl > 0], pnl[pnl < 0]
    nan = float("nan")
    return {"trades": int(len(pnl)),
            "win_rate": len(wins) / len(pnl) if len(pnl) else nan,
            "profit_factor": float(wins.sum() / -losses.sum()) if len(losses) else nan,
            "average_win": float(wins.mean()) if len(wins) else nan,
            "average_loss": float(losses.mean()) if len(losses) else nan}


def _money(value, sign=False):
    if value is None or not math.isfinite(value):
        return NA
    return f"{value:+,.2f}" if sign else f"{value:,.2f}"


def _ratio(value, reason, percent=False):
    if value is None:
        return f"{NA} ({reason})"
    return f"{value:+.4%}" if percent else f"{value:+.3f}"


def _count(n, what):
    n = int(n)
    return f"{n} {what}" if n == 1 else f"{n} {what}s"


def _clock(text):
    return text[11:16]


def table(result):
    """The report as text."""
    f = result.figures
    day = f["first_mark"][:10]
    head = (f"Session of {day}, {_clock(f['first_mark'])} to {_clock(f['last_mark'])} "
            f"(simulated), starting equity {f['start_equity']:,.2f}")
    if f["fees_share_of_gross"] is not None:
        fee_note = f"{f['fees_share_of_gross']:.1%} of the gross P&L"
    elif f["gross_pnl"] < 0:
        fee_note = f"on top of a gross loss of {-f['gross_pnl']:,.2f}"
    else:
        fee_note = "with no gross profit to take them from"
    trades = f"{f['trades']}: {f['trades_won']} won, {f['trades_lost']} lost"
    if f["trades"] != f["trades_won"] + f["trades_lost"]:
        trades += f", {f['trades'] - f['trades_won'] - f['trades_lost']} even"
    if f["open_at_end"]:
        trades += "; open at the end: " + ", ".join(f"{c} {q:+d}" for c, q in
                                                    f["open_at_end"].items())
    holding = (f"{f['holding_minutes_mean']:.1f} minutes on average, longest "
               f"{f['holding_minutes_max']:.1f}" if f["trades"] else f"{NA} (no trade)")
    q = f["trip_pnl_quartiles"]
    spread = (f"{_money(q['p25'], True)} / {_money(q['p50'], True)} / {_money(q['p75'], True)}"
              if q else f"{NA} (no trade)")
    if f["max_drawdown_money"]:
        drawdown = (f"{f['max_drawdown']:.3%} ({f['max_drawdown_money']:+,.2f}, from "
                    f"{_clock(f['drawdown_peak'])} to {_clock(f['drawdown_trough'])})")
    else:
        drawdown = "none: the equity never fell below its high"
    lines = [
        ("net P&L", f"{_money(f['net_pnl'], True)}  ({f['return']:+.3%} of the starting "
                    "equity)" if f["return"] is not None else _money(f["net_pnl"], True)),
        ("gross P&L (before fees)", _money(f["gross_pnl"], True)),
        ("fees", f"{_money(f['fees_total'])}  ({fee_note})"),
        ("maximum drawdown", drawdown),
        ("trades (round trips)", trades),
        ("round-trip P&L, quartiles", spread),
        ("holding period", holding),
        ("orders", f"{f['orders']}: " + ", ".join(
            f"{k} {v}" for k, v in sorted(f["orders_by_type"].items())) + "; " + ", ".join(
            f"{k.lower()} {v}" for k, v in sorted(f["orders_by_status"].items()))),
        ("fills", f"{f['deals']}"),
        ("ratios", f["basis"]),
        ("Sharpe ratio", _ratio(f["sharpe"], f["sharpe_reason"])),
        ("information ratio", _ratio(f["information"], f["information_reason"])
         + "  (against the benchmark)"),
        ("Modigliani ratio (M2)", _ratio(f["modigliani"], f["modigliani_reason"], True)
         + (f"  (the benchmark's mean return {f['benchmark_mean_return']:+.4%})"
            if f["modigliani"] is not None and f["benchmark_mean_return"] is not None else "")),
    ]
    width = max(len(name) for name, _ in lines)
    text = [head, ""] + [f"  {name:<{width}}  {value}" for name, value in lines]
    text += ["", instrument_table(result), ""]
    kinds = [f"{kind.replace('_', ' ')} {value:,.2f}" for kind, value in f["fees"].items()
             if kind != "total_fees"]
    text.append("  fees by kind: " + ", ".join(kinds[:4]) + ",\n    " + ", ".join(kinds[4:]))
    text.append("  benchmark: an equal share of every instrument, held from the first mark")
    return "\n".join(text)


def instrument_table(result):
    frame = result.by_instrument
    header = ("instrument", "trades", "win rate", "profit factor", "avg win", "avg loss",
              "fees", "P&L")
    rows = []
    for code, r in frame.iterrows():
        name = "all" if code == "all" else f"{code} {result.names.get(code, '')}".strip()
        rows.append((name, f"{int(r['trades'])}",
                     NA if math.isnan(r["win_rate"]) else f"{r['win_rate']:.0%}",
                     NA if math.isnan(r["profit_factor"]) else f"{r['profit_factor']:.2f}",
                     _money(r["average_win"], True), _money(r["average_loss"], True),
                     _money(r["fees"]), _money(r["pnl"], True)))
    widths = [max(len(row[i]) for row in rows + [header]) for i in range(len(header))]

    def line(cells):
        return "  " + "  ".join(c.ljust(w) if i == 0 else c.rjust(w)
                                for i, (c, w) in enumerate(zip(cells, widths)))
    out = [line(header), line(["-" * w for w in widths])]
    out += [line(r) for r in rows[:-1]] + [line(["-" * w for w in widths]), line(rows[-1])]
    out.append("  per instrument, after fees; P&L counts a position still open at the last "
               "price.\n  n/a: the win rate needs a trade, an average a trade of its kind, the "
               "profit factor a losing trade.")
    return "\n".join(out)


def headline(figures):
    """One line of the figures that matter most, for the picture's title."""
    f = figures
    parts = [f"net P&L {f['net_pnl']:+,.2f}"
             + (f" ({f['return']:+.3%})" if f["return"] is not None else ""),
             f"fees {f['fees_total']:,.2f}", f"max drawdown {f['max_drawdown']:.3%}",
             _count(f["trades"], "trade")]
    if f["trades"]:
        parts.append(f"{f['trades_won'] / f['trades']:.0%} won")
    return ", ".join(parts)


# How each kind of fill is drawn on its instrument's prices; the colour says
# the side (buy green, sell red).
MARKERS = {"entry": ("^", "v", "entry"), "exit": ("o", "o", "exit"),
           "reversal": ("D", "D", "reversal (exit and entry)"), "stop": ("X", "X", "stop fill")}
BUY, SELL = "#1a9641", "#d7191c"


def plot(result, path, title):
    """The picture: the strategy's return, the benchmark's, the drawdown and
    a price panel per instrument with its fills, the headline in the title."""
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib import dates as mdates
    from matplotlib import pyplot as plt
    from matplotlib import ticker
    from matplotlib.lines import Line2D

    f, curve = result.figures, result.curve
    codes = list(result.prices.columns)
    start = f["start_equity"]
    fig = plt.figure(figsize=(14, 10), dpi=100, layout="constrained")
    price_rows = math.ceil(len(codes) / 2)
    grid = fig.add_gridspec(3 + price_rows, 2, height_ratios=[3, 1.3, 1.3] + [2] * price_rows)
    top = fig.add_subplot(grid[0, :])
    bench = fig.add_subplot(grid[1, :], sharex=top)
    under = fig.add_subplot(grid[2, :], sharex=top)
    percent = ticker.PercentFormatter(xmax=100)
    money = ticker.FuncFormatter(lambda v, _: f"{v:,.0f}")

    strategy = (curve["equity"] / start - 1) * 100
    top.plot(curve.index, strategy, color="tab:blue", linewidth=1.6)
    top.axhline(0, color="grey", linewidth=0.6)
    top.set_ylabel("strategy return")
    top.yaxis.set_major_formatter(percent)
    pnl = top.secondary_yaxis("right", functions=(lambda r: r / 100 * start,
                                                  lambda m: m / start * 100))
    pnl.set_ylabel("net P&L")
    pnl.yaxis.set_major_formatter(ticker.FuncFormatter(lambda v, _: f"{v:+,.0f}"))
    top.set_title(f"Strategy, after fees (starting equity {start:,.0f})", loc="left",
                  fontsize=10)

    bench.plot(curve.index, (curve["benchmark"] / curve["benchmark"].iloc[0] - 1) * 100,
               color="dimgray", linewidth=1.2)
    bench.axhline(0, color="grey", linewidth=0.6)
    bench.yaxis.set_major_formatter(percent)
    bench.set_ylabel("return")
    bench.set_title("Benchmark: an equal share of every instrument, held", loc="left",
                    fontsize=10)

    under.fill_between(result.drawdown.index, result.drawdown.values * 100, 0, color="tab:red",
                       alpha=0.45, linewidth=0)
    under.yaxis.set_major_formatter(percent)
    under.set_ylabel("drawdown")
    under.set_title(f"Drawdown from the session's high (deepest {f['max_drawdown']:.3%})",
                    loc="left", fontsize=10)
    for axis in (top, bench):
        axis.tick_params(labelbottom=False)
    axes = [top, bench, under]

    for n, code in enumerate(codes):
        ax = fig.add_subplot(grid[3 + n // 2, n % 2])      # its own ticks: half the width
        ax.plot(result.prices.index, result.prices[code], color="black", linewidth=1)
        fills = executions(result.fills[result.fills["security"] == code])
        for kind, (up, down, _) in MARKERS.items():
            for side, shape, colour in ((1, up, BUY), (-1, down, SELL)):
                mine = fills[(fills["kind"] == kind) & (fills["side"] == side)]
                if len(mine):
                    ax.scatter(mine["time"], mine["price"], marker=shape, s=70, color=colour,
                               edgecolors="black", linewidths=0.6, zorder=3)
        row = result.by_instrument.loc[code]
        ax.set_title(f"{code} {result.names.get(code, '')}: {_count(row['trades'], 'trade')}, "
                     f"P&L {_money(row['pnl'], True)}", loc="left", fontsize=10)
        ax.yaxis.set_major_formatter(ticker.FuncFormatter(lambda v, _: f"{v:,.2f}"))
        axes.append(ax)

    for n, ax in enumerate(axes):
        ax.grid(True, color="0.9")
        # the price panels are half as wide: half as many labels
        ax.xaxis.set_major_locator(_time_ticks(curve.index, 7 if n < 3 else 5))
        ax.xaxis.set_major_formatter(mdates.DateFormatter("%d %b %H:%M"))
        ax.margins(x=0.01)
    under.tick_params(labelbottom=True)

    handles = [Line2D([], [], marker=up, linestyle="", markersize=8, color=BUY,
                      markeredgecolor="black", label=label)
               for up, _, label in MARKERS.values()]
    handles.append(Line2D([], [], marker="s", linestyle="", markersize=8, color=BUY,
                          label="buy"))
    handles.append(Line2D([], [], marker="s", linestyle="", markersize=8, color=SELL,
                          label="sell"))
    fig.legend(handles=handles, loc="outside lower center", ncol=len(handles), frameon=False,
               title="orders' fills at their average price, on the one-minute closes "
                     "(simulated exchange time)")
    fig.suptitle(f"{title}\n{headline(f)}", fontsize=13)
    fig.savefig(path)
    plt.close(fig)


def _time_ticks(times, most):
    """Ticks on round minutes or hours, at most about ``most`` of them."""
    from matplotlib import dates as mdates

    minutes = max(1.0, (times[-1] - times[0]).total_seconds() / 60)
    step = next((s for s in (1, 2, 5, 10, 15, 30, 60, 120) if minutes / s <= most), 180)
    if step < 60:
        return mdates.MinuteLocator(byminute=range(0, 60, step))
    return mdates.HourLocator(interval=step // 60)


def executions(fills):
    """One mark per order: its fills' average price at the time of its last
    fill.  An order that walks the book fills many times; a trader reads it
    as one execution.  Its kind is its fills' kind, "reversal" where it both
    closed and opened."""
    if not len(fills):
        return fills
    rows = []
    for _, mine in fills.groupby("order_id", sort=False):
        kinds = set(mine["kind"])
        kind = kinds.pop() if len(kinds) == 1 else "reversal"
        quantity = mine["quantity"].sum()
        rows.append((mine["time"].iloc[-1], mine["security"].iloc[0], mine["side"].iloc[0],
                     quantity, (mine["price"] * mine["quantity"]).sum() / quantity, kind,
                     mine["order_id"].iloc[0]))
    return pd.DataFrame(rows, columns=FILL_COLUMNS)
